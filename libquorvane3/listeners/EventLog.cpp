#include "listeners/EventLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace quorvane {

EventLog::~EventLog() { Close(); }

bool EventLog::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ >= 0) ::close(fd_);
    // Private messages are logged: a new log is for its owner and group (an operators'
    // group may read it), whatever the umask. An existing log keeps the mode it was given.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0640);
    if (fd_ >= 0) {
        ::fchmod(fd_, 0640);
        return true;
    }
    if (errno == EEXIST) fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    return fd_ >= 0;
}

void EventLog::Close() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool EventLog::Write(const std::string& text) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    const std::string line = Stamp(now) + " " + text + "\n";
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ < 0) return false;
    ssize_t written;
    do {
        written = ::write(fd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(line.size())) return true;
    // A short write (disk full, size limit) is taken back, so no broken line stays.
    struct stat info;
    if (written > 0 && fstat(fd_, &info) == 0 && info.st_size >= written) (void)!ftruncate(fd_, info.st_size - written);
    return false;
}

std::string EventLog::Stamp(const struct timeval& now) {
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t seconds = now.tv_sec;
    struct tm local;
    if (!localtime_r(&seconds, &local)) return std::string();
    char text[64];
    snprintf(text, sizeof(text), "%s %s %2d %d %.2d:%.2d:%.2d.%.3ld000", DAYS[local.tm_wday % 7],
             MONTHS[local.tm_mon % 12], local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<long>(now.tv_usec / 1000));
    return text;
}

}  // namespace quorvane
