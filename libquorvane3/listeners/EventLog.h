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

    // A text in quotes for a line: quotes and backslashes escaped as the protocol escapes
    // them, and every byte of a control written \xNN (line feed, carriage return and tab
    // as \n, \r, \t): C0 and DEL; C1, whether as a lone byte or as UTF-8 (U+0080 to
    // U+009F); the line and paragraph separators U+2028 and U+2029; the bidirectional
    // marks, embeddings, overrides and isolates (U+061C, U+200E, U+200F, U+202A to
    // U+202E, U+2066 to U+2069); and every byte that is no part of valid UTF-8. So no
    // name can start a line of its own, for tools that read bytes or Unicode, nor turn a
    // line around; the line stays valid UTF-8 and the text can be read back from it.
    static std::string Quote(const std::string& text);

private:
    std::mutex mutex_;  // guards fd_ against a close or reopen during a write; any thread
    int fd_ = -1;
};

}  // namespace quorvane

#endif
