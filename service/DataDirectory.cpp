#include "DataDirectory.h"

#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#ifdef QUORVANE_PACKAGE_STATE_DIRECTORY
const char* const DataDirectory::PACKAGED = QUORVANE_PACKAGE_STATE_DIRECTORY;
#else
const char* const DataDirectory::PACKAGED = nullptr;
#endif

namespace {

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string DataDirectory::OfProgram() {
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length > 0) {
        const std::string exe(path, static_cast<size_t>(length));
        const size_t slash = exe.rfind('/');
        if (slash != std::string::npos) return slash == 0 ? "/" : exe.substr(0, slash);
    }
    if (getcwd(path, sizeof(path)) != nullptr) return path;
    return ".";
}

bool DataDirectory::Find(const std::string& given, bool forRun, std::string& directory, std::string& refusal) {
    if (!given.empty()) {
        // Absolute, since the server enters it and names its files from it.
        char resolved[PATH_MAX + 1];
        const bool found = realpath(given.c_str(), resolved) != nullptr;
        const int error = errno;
        if (!found || !IsDirectory(resolved)) {
            refusal = "The data directory " + given + " cannot be used: " +
                      (found ? std::string("it is no directory") : std::generic_category().message(error)) + ".";
            return false;
        }
        directory = resolved;
        return true;
    }
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state != nullptr && state[0] == '/') {
        directory.assign(state, std::strcspn(state, ":"));
        while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
        return true;
    }
    directory = OfProgram();
    if ((directory + "/").compare(0, 5, "/usr/") != 0) return true;
    const std::string program = "quorvane-server";
    const std::string packaged = PACKAGED != nullptr ? PACKAGED : "";
    if (packaged.empty() || !IsDirectory(packaged)) {
        directory.clear();
        refusal =
            "The program lies in " + OfProgram() + ", where it writes nothing: name its data directory, " +
            "for example " + program + " --data-dir /srv/quorvane -d" +
            (packaged.empty() ? "."
                              : " (the package's service keeps its files in " + packaged + ", which does not exist).");
        return false;
    }
    directory = packaged;
    struct stat info;
    if (!forRun || stat(packaged.c_str(), &info) != 0 || info.st_uid == geteuid()) return true;
    // Before any thread of the server starts.
    const struct passwd* owner = getpwuid(info.st_uid);  // NOLINT(concurrency-mt-unsafe)
    const std::string user = owner != nullptr ? owner->pw_name : std::to_string(info.st_uid);
    refusal = directory + " is the service's data directory, owned by " + user + ": run the server by hand as " + user +
              " with the service stopped (systemctl stop quorvane-server; runuser -u " + user + " -- " + program +
              " -d), or give it a directory of its own with --data-dir DIR.";
    directory.clear();
    return false;
}
