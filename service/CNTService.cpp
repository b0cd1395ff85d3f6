#include "CNTService.h"

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ServiceManager.h"

// Each line ends in CR LF: the text is printed exactly as stored, on every platform.
const char* const CNTService::USAGE_TEXT =
    "The following parameters will be detected:\r\n"
    "\r\n"
    "\t -i \tinstall the service (calls\r\n"
    "\t\t\"InstallService()\" - see below)\r\n"
    "\r\n"
    "\t -l \t<account>\r\n"
    "\t\t<account> is the name of a user,\r\n"
    "\t\tunder which the service shall run.\r\n"
    "\t\tThis option is useful with -i only.\r\n"
    "\t\t<account> needs to have the advanced\r\n"
    "\t\tuser-right Log on as a service\r\n"
    "\t\t(see User-Manager)\r\n"
    "\t\t<account> should have the following\r\n"
    "\t\tformat: \"<Domain>\\<user>\"\r\n"
    "\t\t\"Corvedom\\qxa\" for instance.\r\n"
    "\t\tThe domain \".\" is predefined as the\r\n"
    "\t\tlocal machine. So one might use\r\n"
    "\t\t\".\\qxa\" too.\r\n"
    "\r\n"
    "\t -p \t<password>\r\n"
    "\t\tThe password of the user, under which\r\n"
    "\t\tthe service shall run. Only useful\r\n"
    "\t\twith -i and -l together.\r\n"
    "\r\n"
    "\t -u \tuninstall the service (calls\r\n"
    "\t\t\"RemoveService()\" - see below)\r\n"
    "\r\n"
    "\t -d \tdebug the service (run as console\r\n"
    "\t\tprocess; calls \"DebugService()\"\r\n"
    "\t\tsee below)\r\n"
    "\r\n"
    "\t -e \tend the service (if it is running)\r\n"
    "\r\n"
    "\t -s \tstart the service (if it is not running)\r\n"
    "\t\t(Note that *you* normally cannot start\r\n"
    "\t\tan NT-service from the command-line.\r\n"
    "\t\tThe SCM can.)\r\n"
    "\r\n";

namespace {

enum Action { ACTION_NONE, ACTION_INSTALL, ACTION_REMOVE, ACTION_END, ACTION_START };

const int START_WAIT_HINT_MS = 3000;
// A start or stop that is still pending after this many polls (one a second) is taken
// as failed; the service manager's own time-outs end it well before.
const int MAX_POLLS = 600;

// The value of -l or -p: the rest of the argument, else the next argument (which is
// then consumed). With nothing left the value stays as it was.
void TakeOptionValue(int argc, char** argv, int& index, std::string& value) {
    const char* rest = argv[index] + 2;
    if (*rest != '\0') {
        value = rest;
    } else if (index + 1 < argc && argv[index + 1] != nullptr) {
        value = argv[++index];
    }
}

void Print(const char* format, const char* name) {
    std::printf(format, name);
    std::fflush(stdout);
}

void PrintFailure(const char* format, const std::string& reason) {
    std::printf(format, reason.c_str());
    std::fflush(stdout);
}

// The unit directory and the installed unit, as -u, -e and -s need them; false when
// either is missing, with the failure printed.
bool OpenInstalledUnit(const ServiceManager& manager) {
    std::string error;
    if (!manager.OpenUnitDirectory(error)) {
        PrintFailure("OpenSCManager failed - %s\n", error);
        return false;
    }
    if (!manager.OpenUnit(error)) {
        PrintFailure("OpenService failed - %s\n", error);
        return false;
    }
    return true;
}

// Waits a second, then once a second prints "." while the unit is in the pending state;
// the state it ends in.
ServiceManager::UnitState PollWhile(ServiceManager& manager, ServiceManager::UnitState pending) {
    ServiceManager::UnitState state = pending;
    for (int polls = 0; polls < MAX_POLLS; ++polls) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        state = manager.QueryState();
        if (state != pending) {
            break;
        }
        std::fputs(".", stdout);
        std::fflush(stdout);
    }
    return state;
}

// Takes the stop signals on a thread of its own for as long as it lives, so that
// StopService runs in an ordinary thread context: every thread blocks the signals
// (the mask is set before the body starts any), and only this one waits for them.
// With a console: SIGINT, SIGQUIT and SIGTERM, announced with "Stopping ..."; else
// SIGTERM, SIGHUP and SIGINT, quietly.
class StopSignalThread {
public:
    StopSignalThread(CNTService& service, bool console)
        : service_(service), console_(console), finished_(false), started_(false) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, console ? SIGQUIT : SIGHUP);
    }

    ~StopSignalThread() {
        if (started_) {
            // The signals stay blocked: one arriving from now on is never delivered.
            finished_ = true;
            pthread_kill(thread_, SIGTERM);
            pthread_join(thread_, nullptr);
        }
    }

    StopSignalThread(const StopSignalThread&) = delete;
    StopSignalThread& operator=(const StopSignalThread&) = delete;

    bool Start(std::string& error) {
        sigset_t previous;
        if (pthread_sigmask(SIG_BLOCK, &signals_, &previous) != 0) {
            error = std::string("Unable to block the stop signals for ") +
                    service_.GetDisplayName() + ".";
            return false;
        }
        const int result = pthread_create(&thread_, nullptr, Run, this);
        if (result != 0) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            error = std::string("Unable to start the stop-signal thread for ") +
                    service_.GetDisplayName() + ": " + std::strerror(result);
            return false;
        }
        started_ = true;
        return true;
    }

private:
    static void* Run(void* arg) {
        StopSignalThread* self = static_cast<StopSignalThread*>(arg);
        for (;;) {
            int signo = 0;
            if (sigwait(&self->signals_, &signo) != 0) {
                continue;
            }
            // The destructor wakes this thread with a signal of the set.
            if (self->finished_.load()) {
                return nullptr;
            }
            if (self->console_) {
                Print("Stopping %s.\n", self->service_.GetDisplayName());
            }
            self->service_.StopService();
        }
    }

    CNTService& service_;
    const bool console_;
    sigset_t signals_;
    std::atomic<bool> finished_;
    bool started_;
    pthread_t thread_;
};

}  // namespace

CNTService::CNTService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName),
      displayName_(displayName != nullptr ? displayName : serviceName),
      checkPoint_(0),
      debug_(false),
      lastError_(0),
      currentState_(SERVICE_STOPPED),
      waitHintMs_(0),
      serviceExitCode_(0) {}

CNTService::~CNTService() = default;

int CNTService::ProcessCommandLine(int argc, char** argv) {
    Action action = ACTION_NONE;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || (arg[0] != '-' && arg[0] != '/')) {
            continue;
        }
        switch (arg[1]) {
        case '?':
        case 'h':
            std::fputs(USAGE_TEXT, stdout);
            std::fflush(stdout);
            return EXIT_FAILED_ACTION;
        case 'd':
            debug_ = true;
            return DebugService(argc, argv, false);
        case 'f':
            debug_ = true;
            return DebugService(argc, argv, true);
        case 'i':
            action = ACTION_INSTALL;
            break;
        case 'u':
            action = ACTION_REMOVE;
            break;
        case 'e':
            action = ACTION_END;
            break;
        case 's':
            action = ACTION_START;
            break;
        case 'l':
            TakeOptionValue(argc, argv, i, accountName_);
            break;
        case 'p':
            TakeOptionValue(argc, argv, i, accountPassword_);
            break;
        default:
            break;
        }
    }
    switch (action) {
    case ACTION_INSTALL:
        return InstallService();
    case ACTION_REMOVE:
        return RemoveService();
    case ACTION_END:
        return EndRunningService();
    case ACTION_START:
        return StartInstalledService();
    case ACTION_NONE:
        break;
    }
    return DispatchService(argc, argv);
}

int CNTService::DispatchService(int argc, char** argv) {
    if (!ServiceManager::StartedByManager()) {
        // Started from a shell: run in the foreground, quietly.
        debug_ = true;
        return DebugService(argc, argv, true);
    }
    debug_ = false;
    StopSignalThread signals(*this, false);
    std::string error;
    if (!signals.Start(error)) {
        LogServiceEvent(error, EVENT_ERROR);
        return EXIT_FAILED_ACTION;
    }
    return ServiceMain(argc, argv);
}

int CNTService::ServiceMain(int argc, char** argv) {
    int result = EXIT_START_FAILED;
    if (UpdateServiceStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS)) {
        result = RunService(argc, argv) ? EXIT_STOPPED : EXIT_START_FAILED;
    }
    UpdateServiceStatus(SERVICE_STOPPED, START_WAIT_HINT_MS);
    return result;
}

int CNTService::InstallService() {
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) {
        std::printf("Unable to install %s - %s\n", displayName_, std::strerror(errno));
        std::fflush(stdout);
        return EXIT_FAILED_ACTION;
    }
    std::string unitText, error;
    if (!ServiceManager::MakeUnitText(std::string(path, static_cast<size_t>(length)),
                                      accountName_, unitText, error)) {
        std::printf("Unable to install %s - %s\n", displayName_, error.c_str());
        std::fflush(stdout);
        return EXIT_FAILED_ACTION;
    }
    if (!accountPassword_.empty()) {
        std::fprintf(stderr, "-p is ignored: %s starts a service as its user, without a password.\n",
                     ServiceManager::NAME);
    }
    ServiceManager manager(serviceName_);
    if (!manager.OpenUnitDirectory(error)) {
        PrintFailure("OpenSCManager failed - %s\n", error);
        return EXIT_FAILED_ACTION;
    }
    if (!manager.Install(unitText, error)) {
        PrintFailure("CreateService failed - %s\n", error);
        return EXIT_FAILED_ACTION;
    }
    Print("%s installed.\n", displayName_);
    LogServiceEvent("Service installed", EVENT_INFORMATION);
    return EXIT_ACTION_DONE;
}

int CNTService::StopInstalledService() {
    ServiceManager manager(serviceName_);
    const ServiceManager::UnitState state = manager.QueryState();
    std::string error;
    if ((state != ServiceManager::UNIT_RUNNING && state != ServiceManager::UNIT_STARTING) ||
        !manager.RequestStop(error)) {
        return -1;
    }
    Print("Stopping %s.", displayName_);
    if (PollWhile(manager, ServiceManager::UNIT_STOPPING) == ServiceManager::UNIT_STOPPED) {
        Print("\n%s stopped.\n", displayName_);
        return 1;
    }
    Print("\n%s failed to stop.\n", displayName_);
    return 0;
}

int CNTService::RemoveService() {
    ServiceManager manager(serviceName_);
    std::string error, warning;
    if (!OpenInstalledUnit(manager)) {
        return EXIT_FAILED_ACTION;
    }
    StopInstalledService();
    if (!manager.Remove(error, warning)) {
        PrintFailure("DeleteService failed - %s\n", error);
        return EXIT_FAILED_ACTION;
    }
    Print("%s removed.\n", displayName_);
    if (!warning.empty()) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
    return EXIT_ACTION_DONE;
}

int CNTService::EndRunningService() {
    ServiceManager manager(serviceName_);
    std::string error;
    if (!OpenInstalledUnit(manager)) {
        return EXIT_FAILED_ACTION;
    }
    return StopInstalledService() == 1 ? EXIT_ACTION_DONE : EXIT_FAILED_ACTION;
}

int CNTService::StartInstalledService() {
    ServiceManager manager(serviceName_);
    std::string error;
    if (!OpenInstalledUnit(manager)) {
        return EXIT_FAILED_ACTION;
    }
    Print("Starting up %s.", displayName_);
    if (!manager.RequestStart(error)) {
        std::printf("\n%s failed to start: %s\n", displayName_, error.c_str());
        std::fflush(stdout);
        return EXIT_FAILED_ACTION;
    }
    if (PollWhile(manager, ServiceManager::UNIT_STARTING) == ServiceManager::UNIT_RUNNING) {
        Print("\n%s started.\n", displayName_);
        return EXIT_ACTION_DONE;
    }
    Print("\n%s failed to start.\n", displayName_);
    return EXIT_FAILED_ACTION;
}

int CNTService::DebugService(int argc, char** argv, bool faceless) {
    StopSignalThread signals(*this, !faceless);
    std::string error;
    if (!signals.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return EXIT_START_FAILED;
    }
    // Printed once a stop signal can no longer end the process unhandled.
    if (!faceless) {
        Print("Debugging %s.\n", displayName_);
    }
    return RunService(argc, argv) ? EXIT_STOPPED : EXIT_START_FAILED;
}

void CNTService::LogServiceEvent(const std::string& message, EventType type, int /*eventId*/) {
    lastError_ = errno;
    const int priority = type == EVENT_ERROR ? LOG_ERR : type == EVENT_WARNING ? LOG_WARNING : LOG_INFO;
    // Opened each time: ACE's log opens syslog under its own settings in between.
    openlog(serviceName_, LOG_PID, LOG_DAEMON);
    syslog(LOG_DAEMON | priority, "%s", message.c_str());
}

CNTService::ServiceState CNTService::GetCurrentState() const {
    std::lock_guard<std::mutex> guard(statusLock_);
    return currentState_;
}

bool CNTService::UpdateServiceStatus(ServiceState state, int waitHintMs, int serviceExitCode) {
    if (debug_) {
        return true;
    }
    std::lock_guard<std::mutex> guard(statusLock_);
    if (currentState_ == SERVICE_STOP_PENDING && state != SERVICE_STOPPED &&
        state != SERVICE_STOP_PENDING) {
        return true;
    }
    currentState_ = state;
    waitHintMs_ = waitHintMs;
    serviceExitCode_ = serviceExitCode;
    checkPoint_ = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : checkPoint_ + 1;

    ServiceManager::Phase phase = ServiceManager::PHASE_OTHER;
    switch (state) {
    case SERVICE_START_PENDING:
        phase = ServiceManager::PHASE_STARTING;
        break;
    case SERVICE_RUNNING:
        phase = ServiceManager::PHASE_RUNNING;
        break;
    case SERVICE_STOP_PENDING:
        phase = ServiceManager::PHASE_STOPPING;
        break;
    case SERVICE_STOPPED:
        phase = ServiceManager::PHASE_STOPPED;
        break;
    default:
        break;
    }
    std::string error;
    if (!ServiceManager::Notify(phase, waitHintMs, displayName_, error)) {
        LogServiceEvent("SetServiceStatus() failed", EVENT_ERROR);
        return false;
    }
    return true;
}
