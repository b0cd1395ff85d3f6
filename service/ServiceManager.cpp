#include "ServiceManager.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>

#include <systemd/sd-daemon.h>

// The unit file of packaging/, compiled in by CMake as QUORVANE_UNIT_TEMPLATE.
#include "QuorvaneUnitTemplate.h"
#include "ServiceNotifier.h"

extern char** environ;

const char* const ServiceManager::NAME = "systemd";
const char* const ServiceManager::PACKAGED_PROGRAM = "/usr/sbin/quorvane-server";

namespace {

const char* const DEFAULT_UNIT_DIRECTORY = "/etc/systemd/system";
const char* const DEFAULT_SYSTEMCTL = "systemctl";
const size_t MAX_SYSTEMCTL_OUTPUT = size_t{64} * 1024;

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

std::string FirstLine(const std::string& text) {
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) {
        return "";
    }
    const size_t end = text.find_first_of("\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A path goes into ExecStart=, WorkingDirectory= and ReadWritePaths= as it is, so it
// may hold nothing that these would read as a separator, a quote or an escape; "%"
// starts a specifier and is doubled.
bool EscapeUnitPath(const std::string& path, std::string& escaped) {
    if (path.empty() || path[0] != '/') {
        return false;
    }
    escaped.clear();
    for (char c : path) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isspace(u) || std::iscntrl(u) || c == '"' || c == '\'' || c == '\\') {
            return false;
        }
        escaped += c;
        if (c == '%') {
            escaped += '%';
        }
    }
    return true;
}

// Writes all of the text to a file that must not exist yet.
bool WriteNewFile(const std::string& path, const std::string& text, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno == EEXIST ? path + " already exists" : path + ": " + ErrorText(errno);
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = path + ": " + ErrorText(errno);
            close(fd);
            unlink(path.c_str());
            return false;
        }
        written += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        error = path + ": " + ErrorText(errno);
        unlink(path.c_str());
        return false;
    }
    return true;
}

// Reads both pipes of a child until it closes them; each keeps at most the bound.
void DrainPipes(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            if (sinks[i]->size() < MAX_SYSTEMCTL_OUTPUT) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            }
        }
    }
}

}  // namespace

ServiceManager::ServiceManager(const std::string& serviceName)
    : unitDirectory_(FromEnvironment("QUORVANE_UNIT_DIR", DEFAULT_UNIT_DIRECTORY)),
      systemctl_(FromEnvironment("QUORVANE_SYSTEMCTL", DEFAULT_SYSTEMCTL)) {
    for (char c : serviceName) {
        const unsigned char u = static_cast<unsigned char>(c);
        unitName_ += std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '-';
    }
    unitName_ += ".service";
    unitPath_ = unitDirectory_ + "/" + unitName_;
}

bool ServiceManager::StartedByManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void ServiceManager::Report(Phase phase, int waitHintMs, const std::string& status) {
    // A wait hint extends the manager's start or stop time-out by that much.
    const std::string extend = "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<long long>(waitHintMs) * 1000);
    // A status line is one line.
    std::string line = status;
    std::replace(line.begin(), line.end(), '\n', ' ');
    ServiceNotifier& notifier = ServiceNotifier::OfProcess();
    switch (phase) {
    case PHASE_STARTING: notifier.Keep("", line, extend); break;
    case PHASE_RUNNING: notifier.Keep("READY=1", line, ""); break;
    case PHASE_STOPPING: notifier.Keep("STOPPING=1", line, extend); break;
    case PHASE_RELOADING: notifier.Keep("RELOADING=1", line, ""); break;
    case PHASE_STOPPED:
    case PHASE_STATUS: notifier.Keep("", line, ""); break;
    }
}

bool ServiceManager::SendReports(std::string& error) { return ServiceNotifier::OfProcess().Send(error); }

uint64_t ServiceManager::WatchdogPeriodUsec() {
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}

bool ServiceManager::FeedWatchdog() {
    ServiceNotifier::OfProcess().KeepWatchdog();
    std::string error;
    return ServiceNotifier::OfProcess().Send(error);
}

bool ServiceManager::OpenUnitDirectory(std::string& error) const {
    struct stat info;
    const int failure = stat(unitDirectory_.c_str(), &info) != 0           ? errno
                        : !S_ISDIR(info.st_mode)                           ? ENOTDIR
                        : access(unitDirectory_.c_str(), W_OK | X_OK) != 0 ? errno
                                                                           : 0;
    if (failure != 0) {
        error = unitDirectory_ + ": " + ErrorText(failure);
    }
    return failure == 0;
}

bool ServiceManager::OpenUnit(std::string& error) const {
    if (access(unitPath_.c_str(), F_OK) != 0) {
        error = unitPath_ + ": " + ErrorText(errno);
        return false;
    }
    return true;
}

bool ServiceManager::ToUserName(const std::string& account, std::string& user) {
    // ".\name" names an account of this machine.
    const std::string name = account.compare(0, 2, ".\\") == 0 ? account.substr(2) : account;
    if (name.empty() || name[0] == '-') {
        return false;
    }
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '_' && c != '-' && c != '.') {
            return false;
        }
    }
    user = name;
    return true;
}

bool ServiceManager::ManualPageInstalled() {
    for (const char* page : {"/usr/share/man/man8/quorvane-server.8.gz", "/usr/share/man/man8/quorvane-server.8",
                             "/usr/local/share/man/man8/quorvane-server.8"})
        if (access(page, R_OK) == 0) return true;
    return false;
}

bool ServiceManager::UsesStateDirectory(const std::string& programPath, const std::string& dataDirectory) {
    return dataDirectory.empty() && programPath.compare(0, 5, "/usr/") == 0;
}

bool ServiceManager::MakeUnitText(const std::string& programPath, const std::string& account,
                                  const std::string& dataDirectory, std::string& text, std::string& error) {
    std::string user;
    if (!account.empty() && !ToUserName(account, user)) {
        error = "the account " + account + " is not a user name";
        return false;
    }
    const size_t slash = programPath.rfind('/');
    std::string program, directory;
    if (slash == std::string::npos || !EscapeUnitPath(programPath, program) ||
        !EscapeUnitPath(dataDirectory.empty() ? (slash == 0 ? "/" : programPath.substr(0, slash)) : dataDirectory,
                        directory)) {
        error = "its path " + (dataDirectory.empty() ? programPath : dataDirectory) +
                " holds a blank, a quote or a backslash, which a unit file cannot take";
        return false;
    }
    const bool stateDirectory = UsesStateDirectory(programPath, dataDirectory);
    // A program or data directory below a home directory needs it visible; it stays
    // read-only but for the data directory.
    bool inHome = false;
    for (const char* home : {"/home/", "/root/", "/run/user/"}) {
        for (const std::string& path : {programPath, directory + "/"})
            inHome = inHome || path.compare(0, std::strlen(home), home) == 0;
    }
    // What becomes of the packaged unit's lines for a program outside the package: its
    // path (with --data-dir when given) in each command, its files in its data directory
    // (beside it, unless it lies under /usr), and it runs as the user of -l, else as root.
    // The manual page comes with the package: named only where it is installed, as systemd
    // checks what a unit names.
    std::vector<std::pair<const char*, std::string>> replaced = {
        {"Documentation=", ManualPageInstalled() ? "Documentation=man:quorvane-server(8)" : ""},
        {"User=", user.empty() ? "" : "User=" + user},
        {"Group=", ""},
        {"ProtectHome=", inHome ? "ProtectHome=read-only" : "ProtectHome=yes"},
    };
    if (!stateDirectory) {
        replaced.push_back({"StateDirectory=", "WorkingDirectory=" + directory + "\nReadWritePaths=" + directory});
        replaced.push_back({"StateDirectoryMode=", ""});
    }
    const std::string command = program + (dataDirectory.empty() ? "" : " --data-dir " + directory);
    std::istringstream in(QUORVANE_UNIT_TEMPLATE);
    std::string line;
    text.clear();
    while (std::getline(in, line)) {
        bool keep = true;
        for (const auto& key : replaced) {
            if (line.compare(0, std::strlen(key.first), key.first) == 0) {
                line = key.second;
                keep = !line.empty();
            }
        }
        const size_t packaged = line.compare(0, 4, "Exec") == 0 ? line.find(PACKAGED_PROGRAM) : std::string::npos;
        if (packaged != std::string::npos) line.replace(packaged, std::strlen(PACKAGED_PROGRAM), command);
        if (keep) {
            text += line + "\n";
        }
    }
    return true;
}

bool ServiceManager::Install(const std::string& unitText, std::string& error) {
    std::string output;
    // A unit of ours in /etc would override the package's and point it elsewhere.
    if (unitDirectory_ == DEFAULT_UNIT_DIRECTORY) {
        for (const char* packaged : {"/lib/systemd/system/", "/usr/lib/systemd/system/"}) {
            if (access((packaged + unitName_).c_str(), F_OK) == 0) {
                error = unitName_ + " is installed by the package quorvane-server (" + packaged + unitName_ +
                        "); -i is for a program outside the package";
                return false;
            }
        }
    }
    if (!WriteNewFile(unitPath_, unitText, error)) {
        return false;
    }
    if (RunSystemctl({"daemon-reload"}, output, error) && RunSystemctl({"enable", unitName_}, output, error)) {
        return true;
    }
    // Nothing stays installed: the unit goes again and the manager forgets it.
    std::string ignored;
    unlink(unitPath_.c_str());
    RunSystemctl({"daemon-reload"}, output, ignored);
    return false;
}

bool ServiceManager::Remove(std::string& error, std::string& warning) {
    std::string output;
    if (!RunSystemctl({"disable", unitName_}, output, error)) {
        return false;
    }
    if (unlink(unitPath_.c_str()) != 0) {
        error = unitPath_ + ": " + ErrorText(errno);
        return false;
    }
    if (!RunSystemctl({"daemon-reload"}, output, warning)) {
        warning = "systemctl daemon-reload failed - " + warning;
    }
    return true;
}

bool ServiceManager::RequestStart(std::string& error) {
    std::string output;
    return RunSystemctl({"start", "--no-block", unitName_}, output, error);
}

bool ServiceManager::RequestStop(std::string& error) {
    std::string output;
    return RunSystemctl({"stop", "--no-block", unitName_}, output, error);
}

ServiceManager::UnitState ServiceManager::QueryState() {
    std::string output, error;
    if (!RunSystemctl({"show", "--property=ActiveState", "--value", unitName_}, output, error)) {
        return UNIT_UNKNOWN;
    }
    const std::string state = FirstLine(output);
    if (state == "active" || state == "reloading") {
        return UNIT_RUNNING;
    }
    if (state == "activating") {
        return UNIT_STARTING;
    }
    if (state == "deactivating") {
        return UNIT_STOPPING;
    }
    if (state == "inactive" || state == "failed") {
        return UNIT_STOPPED;
    }
    return UNIT_UNKNOWN;
}

bool ServiceManager::RunSystemctl(const std::vector<std::string>& args, std::string& output, std::string& error) const {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(systemctl_.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = "systemctl could not be run: " + ErrorText(errno);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        error = "systemctl could not be run: " + ErrorText(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    std::string errors;
    output.clear();
    if (spawned == 0) {
        DrainPipes(out[0], err[0], output, errors);
    }
    close(out[0]);
    close(err[0]);
    if (spawned != 0) {
        error = systemctl_ + " could not be run: " + ErrorText(spawned);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    error = FirstLine(errors);
    if (error.empty()) {
        std::ostringstream how;
        how << systemctl_ << " " << args[0];
        if (WIFEXITED(status)) {
            how << " exited with status " << WEXITSTATUS(status);
        } else {
            how << " ended by signal " << WTERMSIG(status);
        }
        error = how.str();
    }
    return false;
}
