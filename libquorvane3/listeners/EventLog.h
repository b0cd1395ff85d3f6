// The server's event log file: one stamped line per event, appended with a single write
// so that a line lands whole or not at all, and an outside rotation by copy and
// truncate keeps working. Thread safe.
#ifndef QUORVANE_LISTENERS_EVENTLOG_H
#define QUORVANE_LISTENERS_EVENTLOG_H

#include <sys/time.h>

#include <mutex>
#include <string>

namespace quorvane {

class EventLog {
public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Opens the file for appending, creating it with mode 0640; false when it cannot be
    // opened.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Writes "<stamp> <text>\n"; false when the line could not be written whole (then
    // nothing of it stays in the file).
    bool Write(const std::string& text);

    // "Sun Dec  6 2026 08:42:24.123000": local time, English names, the day right-aligned
    // in two characters, milliseconds times 1000.
    static std::string Stamp(const struct timeval& now);

private:
    std::mutex mutex_;  // guards fd_ against a close or reopen during a write; any thread
    int fd_ = -1;
};

}  // namespace quorvane

#endif
