// The client's session with the server: the command connection with its welcome and
// login, the voice socket with its hello, the keep-alives, and the model of the tree
// that every received line updates. One thread drives it.
//
// A command's reply is complete when the "pong" to a "ping" sent right behind it comes:
// the server handles a connection's lines in order, so whatever the command caused for
// this connection (its lines or its error) arrives before that pong, whether or not the
// command itself answers on success.
#ifndef QUORVANE_CLI_CLIENTSESSION_H
#define QUORVANE_CLI_CLIENTSESSION_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ChannelTree.h"
#include "CliOptions.h"
#include "LineConnection.h"
#include "VoiceLink.h"

namespace quorvane {
namespace cli {

struct Reply {
    bool ok = true;
    int errorNumber = 0;
    std::string errorText;           // the server's text, or why no reply came
    std::vector<std::string> lines;  // the command's lines that the tree did not take
};

class ClientSession {
public:
    // Called for every line received, with the tree as it was before the line.
    typedef std::function<void(const std::string& line, const ChannelTree& before)> LineSink;

    explicit ClientSession(const CliOptions& options);

    // Connects, reads the welcome, says hello on UDP and logs in (user or administrator
    // as the options say). False with the reason when any step fails.
    bool Open(const std::string& password, std::string& error);
    // Sends one protocol line and waits for everything it caused; an empty line sends
    // nothing and waits for what the server sent so far.
    Reply Execute(const std::string& line);
    // Takes in what the server sent, waiting at most the time; false once the
    // connection is gone.
    bool Poll(int timeoutMs);
    // Sends the keep-alives that are due; returns the milliseconds until the next one.
    int KeepAlive();
    // Ends the session politely.
    void Quit();

    bool IsOpen() const { return tcp_.IsOpen(); }
    // Why the connection ended, as a clause: "the server closed the connection", with the
    // server's error when an error line came right before the close; without one, that the
    // server still runs when it welcomes a new connection (a kick sends nothing first).
    std::string ClosedText() const;

    void SetLineSink(LineSink sink) { sink_ = std::move(sink); }
    const ChannelTree& Tree() const { return tree_; }
    const CliOptions& Options() const { return options_; }
    int CommandFd() const { return tcp_.Fd(); }
    int VoiceFd() const { return voice_.Fd(); }
    int TimeoutMs() const { return options_.timeoutSeconds * 1000; }
    // The server's numeric address that the command connection reached, and this end's:
    // where the voice link and the transfers go, and from where.
    const std::string& ServerAddress() const { return serverAddress_.empty() ? options_.host : serverAddress_; }
    const std::string& OwnAddress() const { return ownAddress_; }

    // How often the keep-alives go: well inside the server's inactivity limit and
    // the usual NAT mapping lifetimes.
    static constexpr int PING_INTERVAL_MS = 60000;
    static constexpr int VOICE_KEEPALIVE_INTERVAL_MS = 20000;

private:
    // Counts pongs, shows the line to the sink and takes it into the tree; true when
    // the tree took it.
    bool HandleLine(const std::string& line);
    bool SendPing();
    // The connection has ended: closes it and, when no error line came first, asks whether
    // the server still welcomes a connection, to tell a kick from the server's end.
    void Lost();

    CliOptions options_;
    LineConnection tcp_;
    VoiceLink voice_;
    ChannelTree tree_;
    LineSink sink_;
    std::string serverAddress_;
    std::string ownAddress_;
    bool voiceBound_ = false;
    bool opened_ = false;
    long pingsSent_ = 0;
    long pongsSeen_ = 0;
    std::string lastLine_;    // the last line received, to tell why a close came
    bool stillRuns_ = false;  // after the close: a new connection was welcomed
    std::chrono::steady_clock::time_point nextPing_;
    std::chrono::steady_clock::time_point nextVoiceKeepAlive_;
};

}  // namespace cli
}  // namespace quorvane

#endif
