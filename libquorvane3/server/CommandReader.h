// Cuts a connection's input into command lines and hands them to its user in bounded
// turns: on the read that brought them only the leading commands that answer on read
// (cheap ones that touch nothing but the sender) run, and the rest wait for turns of at
// most COMMANDS_PER_TURN commands and TURN_MICROSECONDS, so one client's burst cannot
// hold up the loop. Every line is bounded (MAX_LINE_BEFORE_LOGIN, MAX_LINE): a longer one
// is answered with error 100 and closes the connection. A connection's commands are
// throttled by a token bucket (the server's command rate and burst; a command that
// touches only its sender costs CHEAP_COST, a long line a token per LINE_BYTES_PER_TOKEN,
// the copies of a text message a token per FANOUT_BYTES_PER_TOKEN): when it is empty the
// lines simply wait, unread further, until tokens come back; nothing is refused.
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_COMMANDREADER_H
#define QUORVANE_SERVER_COMMANDREADER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane {
namespace server {

class CommandRate;
class CommandRunner;
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
    // What a command that touches only its sender (ping, whoami) takes from the throttle's
    // bucket: a client that keeps its connection alive many times a second stays within
    // the command rate, and a flood of them is still held to four times the rate.
    static constexpr double CHEAP_COST = 0.25;
    // A command costs at least a token per this many bytes of its line. The lines it has
    // others receive are about as long as its own, so no sender gives any receiver more
    // than the command rate times this many bytes a second (20 KiB by default), after at
    // most the burst times it at once: a reader that takes that much keeps up. Ordinary
    // lines are shorter and cost their one token.
    static constexpr double LINE_BYTES_PER_TOKEN = 1024;
    // The copies of a text message the server queues for others cost besides a token per
    // this many bytes of them all, so that a sender cannot have the server queue more than
    // the command rate times this many bytes a second (1.25 MiB by default) for a channel.
    static constexpr double FANOUT_BYTES_PER_TOKEN = 65536;

    // For the user it reads: its lines go to user.RunCommand; the throttle takes the rate;
    // commands tells which commands answer on read.
    CommandReader(ServerUser& user, const CommandRate& rate, const CommandRunner& commands)
        : user_(user), rate_(rate), commands_(commands) {}

    // The clock of turn budgets and of the throttle, in microseconds; the steady clock
    // unless a test sets another (null restores it). Main loop's thread.
    typedef int64_t (*Clock)();
    static void SetClock(Clock clock);

    // Bytes arrived on the connection.
    void OnData(const char* data, size_t length, bool& keepOpen);
    // The connection's turn for its waiting lines.
    void OnTurn(bool& keepOpen);
    // Complete lines wait for a turn.
    bool HasPendingInput() const { return pendingInput_; }
    // A command whose answer waits for other work (saveconfig, for the writer thread)
    // holds the rest of the input until its answer is queued, as if it had run at once:
    // a connection's answers come in its commands' order. While held no line runs and
    // nothing more is read; Release lets the connection go on.
    void Hold() { held_ = true; }
    void Release() { held_ = false; }
    bool IsHeld() const { return held_; }
    // Microseconds until the throttle lets the next command run; 0 when it may now.
    int64_t ThrottleDelayMicroseconds() const;
    // The command that runs queued these bytes for others (a text message's copies): their
    // cost is taken from the bucket, which may go below zero and hold the next command.
    void ChargeFanOut(size_t bytes);

private:
    // Each byte is searched for LF once, however the line arrives.
    void ProcessLines(bool& keepOpen, bool onRead);
    // A command began an upload: what followed its line is the file's first bytes.
    void HandOverToUpload(bool& keepOpen);
    // Takes a command's cost from the bucket; false when it holds less (throttled_ then).
    bool TakeToken(double cost);
    // What the command of buffer_[lineStart_, end) costs: its base cost, or more for a long line.
    double Cost(bool cheap, size_t end) const;
    // Brings the bucket up to now at the rate (never past the burst).
    void Refill(int rate, int burst);
    // The line cap that holds now; error 100 and the close past it.
    size_t LineLimit() const;
    void RefuseLongLine(bool& keepOpen);

    ServerUser& user_;
    const CommandRate& rate_;
    const CommandRunner& commands_;
    std::string buffer_;
    size_t lineStart_ = 0;       // where the unhandled text of buffer_ starts
    size_t scanFrom_ = 0;        // buffer_ has no LF between lineStart_ and here
    bool pendingInput_ = false;  // complete lines wait for the next turn
    bool throttled_ = false;     // ... and for a token
    bool held_ = false;          // a command's answer is still to come
    bool filled_ = false;        // the first command fills the bucket
    double tokens_ = 0;          // the bucket; below 0 while a command's copies are paid off
    double wanted_ = 1;          // the cost the throttled command waits for
    int64_t refilledUs_ = 0;     // when tokens_ was last brought up to date (steady clock)
};

}  // namespace server
}  // namespace quorvane

#endif
