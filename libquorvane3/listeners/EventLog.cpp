#include "listeners/EventLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "protocol/CommandLine.h"

namespace quorvane {

namespace {

// The length of the valid, shortest-form UTF-8 sequence at text[at] and its code point;
// 0 when the byte there starts none.
size_t DecodeUtf8(const std::string& text, size_t at, uint32_t& code) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    uint32_t least;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, least = 0x80, code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, least = 0x800, code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, least = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80) return 0;
        code = code << 6 | (next & 0x3f);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

bool IsControl(uint32_t code) {
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x061c || code == 0x200e || code == 0x200f ||
           code == 0x2028 || code == 0x2029 || (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

void AppendEscapedByte(std::string& out, unsigned char byte) {
    if (byte == '\n') {
        out += "\\n";
    } else if (byte == '\r') {
        out += "\\r";
    } else if (byte == '\t') {
        out += "\\t";
    } else {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
    }
}

}  // namespace

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

std::string EventLog::Quote(const std::string& text) {
    const std::string escaped = EscapeString(text);
    std::string out = "\"";
    for (size_t at = 0; at < escaped.size();) {
        uint32_t code = 0;
        const size_t length = DecodeUtf8(escaped, at, code);
        if (length != 0 && !IsControl(code)) {
            out.append(escaped, at, length);
            at += length;
            continue;
        }
        // A control's bytes, or one byte that starts no valid sequence.
        const size_t end = at + (length == 0 ? 1 : length);
        for (; at < end; ++at) AppendEscapedByte(out, static_cast<unsigned char>(escaped[at]));
    }
    return out + "\"";
}

}  // namespace quorvane
