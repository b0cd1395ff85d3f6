// The service wrapper: it reads the command line, installs, removes, starts and stops
// the installed service through the system's service manager, runs the service body in
// the foreground (reporting its state when the manager started it), turns stop signals
// into StopService (and, under the manager, SIGHUP into ReloadService) and writes its
// own events to syslog.
//
// Threads: ProcessCommandLine and RunService run on the process's main thread;
// StopService and ReloadService are called on a signal-waiting thread of the wrapper's
// own; the status reports may come from any thread.
#ifndef QUORVANE_SERVICE_CNTSERVICE_H
#define QUORVANE_SERVICE_CNTSERVICE_H

#include <atomic>
#include <mutex>
#include <string>

class CNTService {
public:
    // The states a service reports (the values of the service status record).
    enum ServiceState {
        SERVICE_STOPPED = 1,
        SERVICE_START_PENDING = 2,
        SERVICE_STOP_PENDING = 3,
        SERVICE_RUNNING = 4,
        SERVICE_CONTINUE_PENDING = 5,
        SERVICE_PAUSE_PENDING = 6,
        SERVICE_PAUSED = 7,
    };

    // Process exit codes, as Linux programs have them: 0 is success.
    enum {
        EXIT_STOPPED = 0,        // a run that started and stopped cleanly
        EXIT_ACTION_DONE = 0,    // -i, -u, -e or -s succeeded, or the usage was asked for
        EXIT_FAILED_ACTION = 1,  // -i, -u, -e or -s failed
        EXIT_START_FAILED = 2,   // the service body could not start
        EXIT_USAGE = 2,          // an unknown option or a stray argument: nothing was run
    };

    // Event types of LogServiceEvent.
    enum EventType {
        EVENT_ERROR = 1,
        EVENT_WARNING = 2,
        EVENT_INFORMATION = 4,
    };

    // The options, for --help; "%s" stands for the program's name.
    static const char* const USAGE_TEXT;

    // The names are not copied: they must outlive the object. The display name is the
    // service name when none is given.
    explicit CNTService(const char* serviceName, const char* displayName = nullptr);
    virtual ~CNTService();

    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // The service body: returns when the service has stopped (true) or when it could
    // not start (false). Runs once per process.
    virtual bool RunService(int argc, char** argv) = 0;
    // Asks the body to end. Called on another thread than RunService; must only
    // signal, never block for long.
    virtual void StopService() = 0;
    // Asks the body to read its settings again (SIGHUP under the manager). Called on
    // the signal thread; must only hand the work over.
    virtual void ReloadService() {}
    virtual void PauseService() {}
    virtual void ContinueService() {}
    virtual void ShutdownService() {}

    // Checks the whole command line first: an unknown option, a stray argument or a
    // missing value prints the usage on standard error and returns EXIT_USAGE without
    // running anything. Then reads the options from left to right: --help, -h, -?,
    // --version, -d and -f act at once, otherwise the last of -i -u -e -s runs. The
    // result is the process exit code.
    virtual int ProcessCommandLine(int argc, char** argv);
    // Told after the options under --help: what the body adds (files, signals).
    virtual const char* UsageNotes() const { return ""; }
    // The run without an option. Started by the service manager: runs the body with
    // its state reported and returns EXIT_STOPPED, EXIT_START_FAILED, or
    // EXIT_FAILED_ACTION when the stop signals cannot be taken. Otherwise a faceless
    // DebugService.
    virtual int DispatchService(int argc, char** argv);
    // The actions print their progress; 1 on success, 0 on failure.
    virtual int InstallService();
    virtual int RemoveService();
    virtual int EndRunningService();
    virtual int StartInstalledService();
    // Runs the body in this process until a stop signal: SIGINT, SIGQUIT and SIGTERM
    // with a console, SIGTERM, SIGHUP and SIGINT when faceless. Returns EXIT_STOPPED,
    // or EXIT_START_FAILED when the body could not start.
    virtual int DebugService(int argc, char** argv, bool faceless);

    // Writes the message to syslog under the service name. Thread safe.
    virtual void LogServiceEvent(const std::string& message, EventType type, int eventId = -1);

    // Reports the service's state; a failing report is logged as an event. In debug
    // mode nothing is reported and the result is true. Once a stop is pending, only the
    // end is reported: a stop asked for during start-up is not followed by "running".
    // Thread safe.
    bool UpdateServiceStatus(ServiceState state, int waitHintMs, int serviceExitCode = 0);
    // What the status line says while the service runs ("Running: TCP 10300, ...");
    // sent at once when it changed and the service runs. Thread safe.
    void SetRunningStatus(const std::string& text);
    // Why the body could not start ("ports in use"); the stopped report then reads
    // "Failed to start: <reason>". Thread safe.
    void SetFailureReason(const std::string& reason);
    // A reload of the settings begins / has ended: RELOADING=1, then READY=1 with the
    // running status. Nothing is reported unless the service runs. Thread safe.
    void ReportReloading();
    void ReportReloaded();

    const char* GetServiceName() const { return serviceName_; }
    // The name the events go to syslog under: the service name, or under systemd the
    // unit's name ("quorvane-server"), since the journal cannot take a name with a blank.
    const std::string& GetSyslogName() const { return syslogName_; }
    const char* GetDisplayName() const { return displayName_; }
    bool IsDebug() const { return debug_; }
    ServiceState GetCurrentState() const;
    // The account and password for an installation (-l, -p); empty when not given.
    const std::string& GetAccountName() const { return accountName_; }
    const std::string& GetAccountPassword() const { return accountPassword_; }

private:
    // The run under the service manager, with the stop signals already taken.
    int ServiceMain(int argc, char** argv);
    // Asks for a stop and prints a dot a second while it is pending; 1 when the service
    // stopped, 0 when it failed to, -1 when it was not running (nothing printed).
    int StopInstalledService();
    // Records the state and keeps its report for SendReports; false when nothing is to
    // be reported (a stop is pending). Called with the status lock held: it sends nothing.
    bool KeepStatus(ServiceState state, int waitHintMs, int serviceExitCode);
    // Sends the kept reports without blocking; a failure is logged as an event. Called
    // without the status lock, so that no thread waits on the service manager under it.
    bool SendReports();

    const char* serviceName_;
    const char* displayName_;
    std::string syslogName_;
    unsigned checkPoint_;
    bool debug_;
    std::atomic<int> lastError_;  // errno when the last event was logged
    // Guards the status fields: the body and the signal thread both report.
    mutable std::mutex statusLock_;
    ServiceState currentState_;
    int waitHintMs_;
    int serviceExitCode_;
    std::string runningStatus_;
    std::string failureReason_;
    std::string accountName_;
    std::string accountPassword_;
};

#endif
