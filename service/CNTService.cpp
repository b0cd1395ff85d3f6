#include "CNTService.h"

#include <grp.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ServiceManager.h"

// Written for help2man too: "Usage:", the options indented, notes after them.
const char* const CNTService::USAGE_TEXT =
    "Usage: %s [-d | -f | -i [-l USER] | -u | -s | -e]\n"
    "Runs the Quorvane voice-conferencing server, or manages its systemd service.\n"
    "\n"
    "Without an option the server runs in the foreground and prints nothing. Started\n"
    "by systemd it reports its state to systemd, and SIGHUP reloads its settings.\n"
    "\n"
    "Options:\n"
    "  -d             run in this terminal, saying when it starts and stops;\n"
    "                 Ctrl+C, SIGQUIT or SIGTERM stops it\n"
    "  -f             run in the foreground without output; SIGTERM, SIGINT or\n"
    "                 SIGHUP stops it\n"
    "  -i             install the systemd service quorvane-server for this program\n"
    "                 and enable it\n"
    "  -l USER        with -i: run the service as this user, who must exist and be\n"
    "                 able to write the program's directory\n"
    "  -p PASSWORD    ignored: systemd needs no password to run a service as a user\n"
    "  -u             stop the service if it runs, then disable and remove it\n"
    "  -s             start the installed service\n"
    "  -e             stop the running service\n"
    "  -h, -?, --help print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Options may also start with \"/\" (/h, /d). -i, -u, -s and -e need root.\n";

namespace {

enum Action { ACTION_NONE, ACTION_INSTALL, ACTION_REMOVE, ACTION_END, ACTION_START };

// What the command line asks for once it has been read whole.
struct CommandLine {
    char immediate = 0;  // 'h' help, 'v' version, 'd' console run, 'f' quiet run; 0 none
    Action action = ACTION_NONE;
    std::string error;   // why the command line is refused; empty when it is sound
};

// The options that are a letter alone, and what each does.
struct OptionRow {
    char letter;
    char immediate;
    Action action;
};
const OptionRow OPTIONS[] = {
    {'?', 'h', ACTION_NONE},      {'h', 'h', ACTION_NONE},         {'d', 'd', ACTION_NONE},
    {'f', 'f', ACTION_NONE},      {'i', 0, ACTION_INSTALL},        {'u', 0, ACTION_REMOVE},
    {'e', 0, ACTION_END},         {'s', 0, ACTION_START},
};

// The program's name as it was started, without its directory.
std::string ProgramName(int argc, char** argv) {
    const std::string path = argc > 0 && argv[0] != nullptr ? argv[0] : "quorvane-server";
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const int START_WAIT_HINT_MS = 3000;
// A start or stop that is still pending after this many polls (one a second) is taken
// as failed; the service manager's own time-outs end it well before.
const int MAX_POLLS = 600;

// The value of -l or -p: the rest of the argument, else the next argument (which is
// then consumed). False when there is none.
bool TakeOptionValue(int argc, char** argv, int& index, std::string& value) {
    const char* rest = argv[index] + 2;
    if (*rest != '\0') {
        value = rest;
        return true;
    }
    if (index + 1 < argc && argv[index + 1] != nullptr) {
        value = argv[++index];
        return true;
    }
    return false;
}

// Reads every argument; the first of the immediate options wins, else the last action.
CommandLine ReadCommandLine(int argc, char** argv, std::string& account, std::string& password) {
    CommandLine line;
    for (int i = 1; i < argc && line.error.empty(); ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        const bool option = arg.size() >= 2 && (arg[0] == '-' || arg[0] == '/');
        if (!option) {
            line.error = "unexpected argument \"" + arg + "\"";
            continue;
        }
        if (arg == "--help" || arg == "--version") {
            if (line.immediate == 0) line.immediate = arg == "--help" ? 'h' : 'v';
            continue;
        }
        if (arg[1] == 'l' || arg[1] == 'p') {
            if (!TakeOptionValue(argc, argv, i, arg[1] == 'l' ? account : password)) {
                line.error = "option " + arg + " needs a value";
            }
            continue;
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& candidate : OPTIONS) {
            if (arg.size() == 2 && arg[1] == candidate.letter) row = &candidate;
        }
        if (row == nullptr) {
            line.error = "unknown option " + arg;
        } else if (row->immediate != 0) {
            if (line.immediate == 0) line.immediate = row->immediate;
        } else {
            line.action = row->action;
        }
    }
    return line;
}

// Whether the user may write into the directory, by its mode bits.
bool UserMayWrite(const struct passwd& user, const std::string& directory) {
    struct stat info;
    if (stat(directory.c_str(), &info) != 0) {
        return false;
    }
    if (user.pw_uid == 0) {
        return true;
    }
    const mode_t mode = info.st_mode;
    if (info.st_uid == user.pw_uid) {
        return (mode & S_IWUSR) && (mode & S_IXUSR);
    }
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    if (std::find(groups.begin(), groups.end(), info.st_gid) != groups.end()) {
        return (mode & S_IWGRP) && (mode & S_IXGRP);
    }
    return (mode & S_IWOTH) && (mode & S_IXOTH);
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

// How a run takes its signals.
enum SignalMode {
    SIGNALS_CONSOLE,   // SIGINT, SIGQUIT and SIGTERM stop it, announced with "Stopping ..."
    SIGNALS_FACELESS,  // SIGTERM, SIGHUP and SIGINT stop it quietly
    SIGNALS_MANAGED,   // SIGTERM and SIGINT stop it quietly; SIGHUP reloads the settings
};

// Takes the signals on a thread of its own for as long as it lives, so that
// StopService and ReloadService run in an ordinary thread context: every thread blocks
// the signals (the mask is set before the body starts any), and only this one waits
// for them.
class StopSignalThread {
public:
    StopSignalThread(CNTService& service, SignalMode mode)
        : service_(service), console_(mode == SIGNALS_CONSOLE), reload_(mode == SIGNALS_MANAGED),
          finished_(false), started_(false) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, console_ ? SIGQUIT : SIGHUP);
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
            if (signo == SIGHUP && self->reload_) {
                self->service_.ReloadService();
                continue;
            }
            if (self->console_) {
                Print("Stopping %s.\n", self->service_.GetDisplayName());
            }
            self->service_.StopService();
        }
    }

    CNTService& service_;
    const bool console_;
    const bool reload_;
    sigset_t signals_;
    std::atomic<bool> finished_;
    bool started_;
    pthread_t thread_;
};

}  // namespace

CNTService::CNTService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName),
      displayName_(displayName != nullptr ? displayName : serviceName),
      syslogName_(serviceName),
      checkPoint_(0),
      debug_(false),
      lastError_(0),
      currentState_(SERVICE_STOPPED),
      waitHintMs_(0),
      serviceExitCode_(0) {}

CNTService::~CNTService() = default;

int CNTService::ProcessCommandLine(int argc, char** argv) {
    const std::string program = ProgramName(argc, argv);
    const CommandLine line = ReadCommandLine(argc, argv, accountName_, accountPassword_);
    if (!line.error.empty()) {
        std::fprintf(stderr, "%s: %s\n\n", program.c_str(), line.error.c_str());
        std::fprintf(stderr, USAGE_TEXT, program.c_str());
        std::fputs(UsageNotes(), stderr);
        return EXIT_USAGE;
    }
    switch (line.immediate) {
    case 'h':
        std::printf(USAGE_TEXT, program.c_str());
        std::fputs(UsageNotes(), stdout);
        std::fflush(stdout);
        return EXIT_ACTION_DONE;
    case 'v':
        std::printf("%s %s\n", program.c_str(), QUORVANE_VERSION);
        std::fflush(stdout);
        return EXIT_ACTION_DONE;
    case 'd':
    case 'f':
        debug_ = true;
        return DebugService(argc, argv, line.immediate == 'f');
    default:
        break;
    }
    switch (line.action) {
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
    const std::string unit = ServiceManager(serviceName_).GetUnitName();
    syslogName_ = unit.substr(0, unit.rfind(".service"));
    StopSignalThread signals(*this, SIGNALS_MANAGED);
    std::string error;
    if (!signals.Start(error)) {
        LogServiceEvent(error, EVENT_ERROR);
        return EXIT_START_FAILED;
    }
    return ServiceMain(argc, argv);
}

int CNTService::ServiceMain(int argc, char** argv) {
    int result = EXIT_START_FAILED;
    if (UpdateServiceStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS)) {
        result = RunService(argc, argv) ? EXIT_STOPPED : EXIT_START_FAILED;
    }
    UpdateServiceStatus(SERVICE_STOPPED, START_WAIT_HINT_MS, result);
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
    // A user that does not exist would fail every start of the unit (217/USER).
    std::string user;
    const struct passwd* account = nullptr;
    if (!accountName_.empty() && ServiceManager::ToUserName(accountName_, user) &&
        (account = getpwnam(user.c_str())) == nullptr) {
        std::printf("Unable to install %s - the user %s does not exist\n", displayName_, user.c_str());
        std::fflush(stdout);
        return EXIT_FAILED_ACTION;
    }
    if (!manager.Install(unitText, error)) {
        PrintFailure("CreateService failed - %s\n", error);
        return EXIT_FAILED_ACTION;
    }
    Print("%s installed.\n", displayName_);
    if (account != nullptr) {
        const std::string program(path, static_cast<size_t>(length));
        const std::string directory = program.substr(0, std::max<size_t>(program.rfind('/'), 1));
        std::printf("It runs as %s, who must be able to write %s (settings, ban list, files list, log).\n",
                    user.c_str(), directory.c_str());
        std::fflush(stdout);
        if (!UserMayWrite(*account, directory)) {
            std::fprintf(stderr, "%s cannot write %s now; for example: chown %s '%s'\n", user.c_str(),
                         directory.c_str(), user.c_str(), directory.c_str());
        }
    }
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
    StopSignalThread signals(*this, faceless ? SIGNALS_FACELESS : SIGNALS_CONSOLE);
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
    openlog(syslogName_.c_str(), LOG_PID, LOG_DAEMON);
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

    const std::string name = displayName_;
    ServiceManager::Phase phase = ServiceManager::PHASE_OTHER;
    std::string status;
    switch (state) {
    case SERVICE_START_PENDING:
        phase = ServiceManager::PHASE_STARTING;
        status = "Starting " + name + ".";
        break;
    case SERVICE_RUNNING:
        phase = ServiceManager::PHASE_RUNNING;
        status = runningStatus_.empty() ? name + " is running." : runningStatus_;
        break;
    case SERVICE_STOP_PENDING:
        phase = ServiceManager::PHASE_STOPPING;
        status = "Stopping " + name + ".";
        break;
    case SERVICE_STOPPED:
        phase = ServiceManager::PHASE_STOPPED;
        status = serviceExitCode == 0          ? name + " stopped."
                 : failureReason_.empty() ? std::string("Failed to start.")
                                          : "Failed to start: " + failureReason_;
        break;
    default:
        return true;
    }
    return Notify(phase, status);
}

bool CNTService::Notify(int phase, const std::string& status) {
    std::string error;
    if (!ServiceManager::Notify(static_cast<ServiceManager::Phase>(phase), waitHintMs_, status, error)) {
        LogServiceEvent("SetServiceStatus() failed", EVENT_ERROR);
        return false;
    }
    return true;
}

void CNTService::SetRunningStatus(const std::string& text) {
    std::lock_guard<std::mutex> guard(statusLock_);
    if (text == runningStatus_) {
        return;
    }
    runningStatus_ = text;
    if (!debug_ && currentState_ == SERVICE_RUNNING) {
        Notify(ServiceManager::PHASE_STATUS, runningStatus_);
    }
}

void CNTService::SetFailureReason(const std::string& reason) {
    std::lock_guard<std::mutex> guard(statusLock_);
    failureReason_ = reason;
}

void CNTService::ReportReloading() {
    std::lock_guard<std::mutex> guard(statusLock_);
    if (!debug_ && currentState_ == SERVICE_RUNNING) {
        Notify(ServiceManager::PHASE_RELOADING, "Reloading the settings.");
    }
}

void CNTService::ReportReloaded() {
    std::lock_guard<std::mutex> guard(statusLock_);
    if (!debug_ && currentState_ == SERVICE_RUNNING) {
        Notify(ServiceManager::PHASE_RUNNING, runningStatus_);
    }
}
