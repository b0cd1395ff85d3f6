// The service wrapper, reduced for Linux: it reads the command line and runs the
// service body in the foreground, turning stop signals into StopService. The actions
// that manage an installed service (-i -u -e -s) are read but not carried out here.
//
// Threads: ProcessCommandLine and RunService run on the process's main thread;
// StopService is called on a signal-waiting thread of the wrapper's own.
#ifndef QUORVANE_SERVICE_CNTSERVICE_H
#define QUORVANE_SERVICE_CNTSERVICE_H

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
        EXIT_STOPPED = 1,        // a debug run that started and stopped
        EXIT_START_FAILED = 2,   // the service body could not start
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
    virtual int InstallService();
    virtual int RemoveService();
    virtual int EndRunningService();
    virtual int StartInstalledService();
    // Runs the body in this process until a stop signal: SIGINT, SIGQUIT and SIGTERM
    // with a console, SIGTERM, SIGHUP and SIGINT when faceless. Returns EXIT_STOPPED,
    // or EXIT_START_FAILED when the body could not start.
    virtual int DebugService(int argc, char** argv, bool faceless);

    // Reports the service's state. In debug mode nothing is reported and the result
    // is true.
    bool UpdateServiceStatus(ServiceState state, int waitHintMs, int serviceExitCode = 0);

    const char* GetServiceName() const { return serviceName_; }
    const char* GetDisplayName() const { return displayName_; }
    bool IsDebug() const { return debug_; }
    ServiceState GetCurrentState() const { return currentState_; }
    // The account and password for an installation (-l, -p); empty when not given.
    const std::string& GetAccountName() const { return accountName_; }
    const std::string& GetAccountPassword() const { return accountPassword_; }

private:
    int ReportUnsupported(const char* action);

    const char* serviceName_;
    const char* displayName_;
    unsigned checkPoint_;
    bool debug_;
    ServiceState currentState_;
    int waitHintMs_;
    int serviceExitCode_;
    std::string accountName_;
    std::string accountPassword_;
};

#endif
