#include "UnitActions.h"

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
#include <system_error>
#include <thread>
#include <vector>

#include "DataDirectory.h"
#include "HostLog.h"
#include "ServiceHost.h"
#include "ServiceManager.h"

namespace {

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

void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// The unit directory and the installed unit, as -u, -e and -s need them; the reason
// when either is missing.
std::string InstalledUnitMissing(const ServiceManager& manager) {
    std::string error;
    if (!manager.OpenUnitDirectory(error) || !manager.OpenUnit(error)) return error;
    return "";
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
        Print(".");
    }
    return state;
}

}  // namespace

UnitActions::UnitActions(const std::string& name, const std::string& account, const std::string& password,
                         const std::string& dataDirectory)
    : name_(name), account_(account), password_(password), dataDirectory_(dataDirectory) {}

int UnitActions::Fail(const char* verb, const std::string& why) const {
    Print(std::string("Unable to ") + verb + " " + name_ + " - " + why + "\n");
    return ServiceHost::EXIT_ACTION_FAILED;
}

int UnitActions::Install() {
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) return Fail("install", std::generic_category().message(errno));
    const std::string program(path, static_cast<size_t>(length));
    std::string unitText, error, dataDirectory;
    if (!dataDirectory_.empty() && !DataDirectory::Find(dataDirectory_, false, dataDirectory, error))
        return Fail("install", error);
    if (!ServiceManager::MakeUnitText(program, account_, dataDirectory, unitText, error)) return Fail("install", error);
    if (!password_.empty()) {
        std::fprintf(stderr, "-p is ignored: %s starts a service as its user, without a password.\n",
                     ServiceManager::NAME);
    }
    ServiceManager manager(name_);
    if (!manager.OpenUnitDirectory(error)) return Fail("install", error);
    // A user that does not exist would fail every start of the unit (217/USER).
    std::string user;
    const struct passwd* account = nullptr;
    if (!account_.empty() && ServiceManager::ToUserName(account_, user) &&
        (account = getpwnam(user.c_str())) == nullptr)  // NOLINT(concurrency-mt-unsafe): one thread runs -i
        return Fail("install", "the user " + user + " does not exist");
    if (!manager.Install(unitText, error)) return Fail("install", error);
    Print(name_ + " installed.\n");
    if (ServiceManager::UsesStateDirectory(program, dataDirectory)) {
        Print("Its files are in /var/lib/quorvane, which systemd makes for it (StateDirectory=).\n");
    } else if (account != nullptr) {
        const std::string directory =
            !dataDirectory.empty() ? dataDirectory : program.substr(0, std::max<size_t>(program.rfind('/'), 1));
        Print("It runs as " + user + ", who must be able to write " + directory +
              " (settings, ban list, files list, log).\n");
        if (!UserMayWrite(*account, directory)) {
            std::fprintf(stderr, "%s cannot write %s now; for example: chown %s '%s'\n", user.c_str(),
                         directory.c_str(), user.c_str(), directory.c_str());
        }
    }
    HostLog::SystemLog(LOG_INFO, "Service installed");
    return ServiceHost::EXIT_OK;
}

int UnitActions::StopRunning() {
    ServiceManager manager(name_);
    const ServiceManager::UnitState state = manager.QueryState();
    std::string error;
    if ((state != ServiceManager::UNIT_RUNNING && state != ServiceManager::UNIT_STARTING) ||
        !manager.RequestStop(error)) {
        return -1;
    }
    Print("Stopping " + name_ + ".");
    if (PollWhile(manager, ServiceManager::UNIT_STOPPING) == ServiceManager::UNIT_STOPPED) {
        Print("\n" + name_ + " stopped.\n");
        return 1;
    }
    Print("\n" + name_ + " failed to stop.\n");
    return 0;
}

int UnitActions::Uninstall() {
    ServiceManager manager(name_);
    const std::string missing = InstalledUnitMissing(manager);
    if (!missing.empty()) return Fail("remove", missing);
    StopRunning();
    std::string error, warning;
    if (!manager.Remove(error, warning)) return Fail("remove", error);
    Print(name_ + " removed.\n");
    if (!warning.empty()) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
    return ServiceHost::EXIT_OK;
}

int UnitActions::Stop() {
    ServiceManager manager(name_);
    const std::string missing = InstalledUnitMissing(manager);
    if (!missing.empty()) return Fail("stop", missing);
    return StopRunning() == 1 ? ServiceHost::EXIT_OK : ServiceHost::EXIT_ACTION_FAILED;
}

int UnitActions::Start() {
    ServiceManager manager(name_);
    const std::string missing = InstalledUnitMissing(manager);
    if (!missing.empty()) return Fail("start", missing);
    Print("Starting up " + name_ + ".");
    std::string error;
    if (!manager.RequestStart(error)) {
        Print("\n" + name_ + " failed to start: " + error + "\n");
        return ServiceHost::EXIT_ACTION_FAILED;
    }
    if (PollWhile(manager, ServiceManager::UNIT_STARTING) == ServiceManager::UNIT_RUNNING) {
        Print("\n" + name_ + " started.\n");
        return ServiceHost::EXIT_OK;
    }
    Print("\n" + name_ + " failed to start.\n");
    return ServiceHost::EXIT_ACTION_FAILED;
}
