#include "CNTService.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ServiceCommandLine.h"
#include "ServiceManager.h"
#include "StopSignalThread.h"

namespace {

const int START_WAIT_HINT_MS = 3000;
// A start or stop that is still pending after this many polls (one a second) is taken
// as failed; the service manager's own time-outs end it well before.
const int MAX_POLLS = 600;

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
    const ServiceCommandLine line = ReadCommandLine(argc, argv, accountName_, accountPassword_);
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
    case 'f': debug_ = true; return DebugService(argc, argv, line.immediate == 'f');
    default: break;
    }
    switch (line.action) {
    case ServiceCommandLine::ACTION_INSTALL: return InstallService();
    case ServiceCommandLine::ACTION_REMOVE: return RemoveService();
    case ServiceCommandLine::ACTION_END: return EndRunningService();
    case ServiceCommandLine::ACTION_START: return StartInstalledService();
    case ServiceCommandLine::ACTION_NONE: break;
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
    StopSignalThread signals(*this, StopSignalThread::MANAGED);
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
    if (!ServiceManager::MakeUnitText(std::string(path, static_cast<size_t>(length)), accountName_, unitText, error)) {
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
    StopSignalThread signals(*this, faceless ? StopSignalThread::FACELESS : StopSignalThread::CONSOLE);
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
    {
        std::lock_guard<std::mutex> guard(statusLock_);
        if (!KeepStatus(state, waitHintMs, serviceExitCode)) {
            return true;
        }
    }
    return SendReports();
}

bool CNTService::KeepStatus(ServiceState state, int waitHintMs, int serviceExitCode) {
    if (currentState_ == SERVICE_STOP_PENDING && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
        return false;
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
        status = serviceExitCode == 0     ? name + " stopped."
                 : failureReason_.empty() ? std::string("Failed to start.")
                                          : "Failed to start: " + failureReason_;
        break;
    default: return false;
    }
    ServiceManager::Report(phase, waitHintMs_, status);
    return true;
}

bool CNTService::SendReports() {
    std::string error;
    if (!ServiceManager::SendReports(error)) {
        LogServiceEvent("SetServiceStatus() failed", EVENT_ERROR);
        return false;
    }
    return true;
}

void CNTService::SetRunningStatus(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(statusLock_);
        if (text == runningStatus_) {
            return;
        }
        runningStatus_ = text;
        if (debug_ || currentState_ != SERVICE_RUNNING) {
            return;
        }
        ServiceManager::Report(ServiceManager::PHASE_STATUS, waitHintMs_, runningStatus_);
    }
    SendReports();
}

void CNTService::SetFailureReason(const std::string& reason) {
    std::lock_guard<std::mutex> guard(statusLock_);
    failureReason_ = reason;
}

void CNTService::ReportReloading() {
    {
        std::lock_guard<std::mutex> guard(statusLock_);
        if (debug_ || currentState_ != SERVICE_RUNNING) {
            return;
        }
        ServiceManager::Report(ServiceManager::PHASE_RELOADING, waitHintMs_, "Reloading the settings.");
    }
    SendReports();
}

void CNTService::ReportReloaded() {
    {
        std::lock_guard<std::mutex> guard(statusLock_);
        if (debug_ || currentState_ != SERVICE_RUNNING) {
            return;
        }
        ServiceManager::Report(ServiceManager::PHASE_RUNNING, waitHintMs_, runningStatus_);
    }
    SendReports();
}
