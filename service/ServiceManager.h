// The system's service manager, systemd: the one place of the program that knows it.
// It writes and removes the unit file, asks systemctl to enable, disable, start and
// stop the unit and to tell its state, and reports the running service's state through
// systemd's notification socket, through a ServiceNotifier that never blocks.
//
// The systemctl program and the unit directory can be replaced through the environment
// (QUORVANE_SYSTEMCTL, QUORVANE_UNIT_DIR), so that the actions can run against a
// scratch directory.
//
// Threads: the actions run on the main thread of a short-lived process; the reports
// and the watchdog are thread safe.
#ifndef QUORVANE_SERVICE_SERVICEMANAGER_H
#define QUORVANE_SERVICE_SERVICEMANAGER_H

#include <cstdint>
#include <string>
#include <vector>

class ServiceManager {
public:
    // What the running service tells the manager.
    enum Phase {
        PHASE_STARTING,   // STATUS, and the wait hint as a longer start time-out
        PHASE_RUNNING,    // READY=1 and STATUS (also the end of a reload)
        PHASE_STOPPING,   // STOPPING=1, STATUS and the wait hint
        PHASE_STOPPED,    // STATUS only: the process ends next
        PHASE_RELOADING,  // RELOADING=1 and STATUS
        PHASE_STATUS,     // STATUS only, while running
    };
    // The unit's state as the manager sees it.
    enum UnitState { UNIT_UNKNOWN, UNIT_STOPPED, UNIT_STARTING, UNIT_RUNNING, UNIT_STOPPING };

    static const char* const NAME;  // "systemd"

    // The unit's name is the service name in lower case with every other character
    // than a letter or a digit turned into "-": "quorvane-server.service".
    explicit ServiceManager(const std::string& serviceName);

    const std::string& GetUnitName() const { return unitName_; }
    const std::string& GetUnitPath() const { return unitPath_; }

    // Whether the manager started this process and waits for its reports.
    static bool StartedByManager();
    // Keeps one report with the status line for the next SendReports, replacing one that
    // still waits; the wait hint bounds how long a start or stop may still take. Sends
    // nothing, so it may be called under a lock. Thread safe.
    static void Report(Phase phase, int waitHintMs, const std::string& status);
    // Sends what waits without blocking (ServiceNotifier): a report the socket cannot take
    // now waits for the next call. False with the reason when one could not be
    // delivered. Thread safe.
    static bool SendReports(std::string& error);

    // The watchdog period systemd asks this process to keep (WatchdogSec=), in
    // microseconds; 0 when it asks for none.
    static uint64_t WatchdogPeriodUsec();
    // Tells systemd's watchdog that the process is alive, and sends what waits; a
    // WATCHDOG=1 the socket cannot take goes at the next call. Thread safe.
    static bool FeedWatchdog();

    // Each of the following answers false with a reason on failure.
    // The unit directory exists and may be written.
    bool OpenUnitDirectory(std::string& error) const;
    // The unit file exists.
    bool OpenUnit(std::string& error) const;
    // Writes the unit file, reloads the manager and enables the unit. Fails when the
    // unit exists, also when the package installed it; a failure leaves nothing
    // installed.
    bool Install(const std::string& unitText, std::string& error);
    // Disables the unit, deletes its file and reloads the manager. A failing reload
    // after the deletion does not fail the removal; its reason is left in warning.
    bool Remove(std::string& error, std::string& warning);
    // Asks for a start or a stop without waiting for it to finish.
    bool RequestStart(std::string& error);
    bool RequestStop(std::string& error);
    UnitState QueryState();

    // The account ("name" or ".\name") as a User= value; false when it is no user name.
    static bool ToUserName(const std::string& account, std::string& user);
    // Whether the server's manual page is installed where man finds it.
    static bool ManualPageInstalled();
    // The unit text for the program at that path, run as the account when one is given,
    // with its files in dataDirectory (absolute; given to the program as --data-dir), or
    // when that is empty beside the program, or for a program under /usr in systemd's state
    // directory as the package's unit has it; false when a path or the account cannot be
    // written in a unit file.
    static bool MakeUnitText(const std::string& programPath, const std::string& account,
                             const std::string& dataDirectory, std::string& text, std::string& error);
    // Whether the program's files go to systemd's state directory: a program under /usr
    // installed without a data directory.
    static bool UsesStateDirectory(const std::string& programPath, const std::string& dataDirectory);
    // The path of the package's program, which the unit file names.
    static const char* const PACKAGED_PROGRAM;

private:
    // Runs systemctl with the arguments to its end; false with the reason (the first line
    // it wrote on standard error, or how it ended) unless it exited with 0.
    bool RunSystemctl(const std::vector<std::string>& args, std::string& output, std::string& error) const;

    std::string unitName_;
    std::string unitDirectory_;
    std::string unitPath_;
    std::string systemctl_;
};

#endif
