// XMLDocument: replacing a file by a text through a temporary file, and removing the
// temporary files of saves a crash cut short. Touches no document: any thread.
#include "settings/XMLDocument.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace quorvane {

namespace {

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A save through a symbolic link replaces the file it points to, not the link.
std::string ResolveLink(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    free(resolved);
    return target;
}

const char TEMPORARY_MARK[] = ".tmp-";

// Creates a new, empty file beside target, readable by the owner only whatever the
// umask (it will hold passwords), and locks it while the save runs: the tidying of a
// later start removes only temporary files that nobody holds.
int OpenTemporaryBeside(const std::string& target, std::string& tempPath) {
    static std::atomic<unsigned> counter(0);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = target + TEMPORARY_MARK + std::to_string(getpid()) + "-" + std::to_string(counter++);
        int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd >= 0 && (fchmod(fd, 0600) != 0 || flock(fd, LOCK_EX) != 0)) {
            close(fd);
            unlink(tempPath.c_str());
            return -1;
        }
        return fd;
    }
    return -1;
}

// The replaced file's owner carries over where we may set it (a service run as root on
// the files of its account), and so does a mode that gives others nothing (a group an
// administrator let read it). A file every account could read, as earlier versions
// created them, becomes the owner's only.
void CopyAccessRights(int fd, const std::string& target) {
    struct stat old, fresh;
    if (stat(target.c_str(), &old) != 0 || fstat(fd, &fresh) != 0) return;
    if ((old.st_mode & 0007) == 0) fchmod(fd, old.st_mode & 0777);
    if (old.st_uid != fresh.st_uid || old.st_gid != fresh.st_gid) (void)!fchown(fd, old.st_uid, old.st_gid);
}

// Whether name is base + ".tmp-<digits>-<digits>", the name of a save's temporary file.
bool IsTemporaryOf(const std::string& name, const std::string& base) {
    const std::string prefix = base + TEMPORARY_MARK;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string rest = name.substr(prefix.size());
    const size_t dash = rest.find('-');
    const auto digits = [](const std::string& text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    };
    return dash != std::string::npos && digits(rest.substr(0, dash)) && digits(rest.substr(dash + 1));
}

// Makes the rename itself durable; a failure here loses no data, only the guarantee.
void SyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool XMLDocument::WriteSnapshot(const std::string& path, const std::string& text) {
    if (path.empty()) return false;
    const std::string target = ResolveLink(path);
    std::string tempPath;
    int fd = OpenTemporaryBeside(target, tempPath);
    if (fd < 0) return false;
    CopyAccessRights(fd, target);
    bool written = true;
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    written = fsync(fd) == 0 && written;
    written = close(fd) == 0 && written;
    if (!written || rename(tempPath.c_str(), target.c_str()) != 0) {
        unlink(tempPath.c_str());
        return false;
    }
    SyncDirectory(DirectoryOf(target));
    return true;
}

std::vector<std::string> XMLDocument::RemoveCutSaves(const std::string& path) {
    std::vector<std::string> removed;
    const std::string target = ResolveLink(path);
    const size_t slash = target.rfind('/');
    const std::string directory = DirectoryOf(target);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    DIR* listing = opendir(directory.c_str());
    if (!listing) return removed;
    std::vector<std::string> names;
    while (const struct dirent* entry = readdir(listing))
        if (IsTemporaryOf(entry->d_name, base)) names.push_back(entry->d_name);
    closedir(listing);
    for (const std::string& name : names) {
        const std::string temporary = directory + "/" + name;
        const int fd = open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        // A save still running (another process in this directory) holds its lock.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && unlink(temporary.c_str()) == 0) removed.push_back(temporary);
        close(fd);
    }
    return removed;
}

}  // namespace quorvane
