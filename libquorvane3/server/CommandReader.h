// Cuts a connection's input into command lines and hands them to its user in bounded
// turns: on the read that brought them only the leading commands that answer on read
// (cheap ones that touch nothing but the sender) run, and the rest wait for turns of at
// most COMMANDS_PER_TURN commands and TURN_MICROSECONDS, so one client's burst cannot
// hold up the loop. A line without its LF is bounded (MAX_LINE_BEFORE_LOGIN, MAX_LINE).
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_COMMANDREADER_H
#define QUORVANE_SERVER_COMMANDREADER_H

#include <cstddef>
#include <string>

namespace quorvane {
namespace server {

class ServerUser;

class CommandReader {
public:
    enum {
        MAX_LINE_BEFORE_LOGIN = 4096,
        MAX_LINE = 65536,
        COMMANDS_PER_TURN = 32,
        // No new command once a turn has run this long: one command that is announced to
        // thousands of users is a turn of its own.
        TURN_MICROSECONDS = 5000,
    };

    explicit CommandReader(ServerUser& user) : user_(user) {}

    // Bytes arrived on the connection.
    void OnData(const char* data, size_t length, bool& keepOpen);
    // The connection's turn for its waiting lines.
    void OnTurn(bool& keepOpen);
    // Complete lines wait for a turn.
    bool HasPendingInput() const { return pendingInput_; }

private:
    // Each byte is searched for LF once, however the line arrives.
    void ProcessLines(bool& keepOpen, bool onRead);
    // A command began an upload: what followed its line is the file's first bytes.
    void HandOverToUpload(bool& keepOpen);

    ServerUser& user_;
    std::string buffer_;
    size_t lineStart_ = 0;       // where the unhandled text of buffer_ starts
    size_t scanFrom_ = 0;        // buffer_ has no LF between lineStart_ and here
    bool pendingInput_ = false;  // complete lines wait for the next turn
};

}  // namespace server
}  // namespace quorvane

#endif
