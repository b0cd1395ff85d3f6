// The service wrapper: it reads the command line, installs, removes, starts and stops
// the installed service through the system's service manager, runs the service body in
// the foreground (reporting its state when the manager started it), turns stop signals
// into StopService and writes its own events to syslog.
//
// Threads: ProcessCommandLine and RunService run on the process's main thread;
// StopService is called on a signal-waiting thread of the wrapper's own.
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

    // Process exit codes.
    enum {
        EXIT_FAILED_ACTION = 0,  // also after -? and -h
        EXIT_STOPPED = 1,        // a run that started and stopped
        EXIT_ACTION_DONE = 1,    // -i, -u, -e or -s succeeded
        EXIT_START_FAILED = 2,   // the service body could not start
    };

    // Event types of LogServiceEvent.
    enum EventType {
        EVENT_ERROR = 1,
        EVENT_WARNING = 2,
        EVENT_INFORMATION = 4,
    };

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
    virtual void PauseService() {}
    virtual void ContinueService() {}
    virtual void ShutdownService() {}

    // Reads the options from left to right and runs the chosen action; the result is
    // the process exit code.
    virtual int ProcessCommandLine(int argc, char** argv);
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

    const char* GetServiceName() const { return serviceName_; }
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

    const char* serviceName_;
    const char* displayName_;
    unsigned checkPoint_;
    bool debug_;
    std::atomic<int> lastError_;  // errno when the last event was logged
    // Guards the status fields: the body and the signal thread both report.
    mutable std::mutex statusLock_;
    ServiceState currentState_;
    int waitHintMs_;
    int serviceExitCode_;
    std::string accountName_;
    std::string accountPassword_;
};

#endif
