#include "ClientSession.h"

#include <poll.h>

#include <algorithm>

#include "Deadline.h"
#include "LineParams.h"
#include "Resolve.h"
#include "protocol/ErrorCodes.h"
#include "protocol/LineBuilder.h"

namespace quorvane {
namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ClientSession::ClientSession(const CliOptions& options) : options_(options) {}

bool ClientSession::Open(const std::string& password, std::string& error) {
    tcp_.UseTls(options_.tls);
    if (!tcp_.Connect(options_.host, options_.port, TimeoutMs(), error)) return false;
    // Voice and transfers go to the address that answered, from the address the server saw,
    // so the server knows them as this session's (a name may have several addresses, and
    // an IPv6 host several of its own).
    serverAddress_ = PeerAddressOf(tcp_.Fd());
    ownAddress_ = LocalAddressOf(tcp_.Fd());
    std::string welcome;
    if (tcp_.ReadLine(welcome, TimeoutMs()) != LineConnection::READ_LINE || LineWord(welcome) != "welcome") {
        error = "no welcome from " + options_.host + " port " + std::to_string(options_.port);
        return false;
    }
    HandleLine(welcome);

    // The administrator's login needs no voice address, so a blocked UDP port only
    // stops a user's login.
    if (voice_.Open(serverAddress_, options_.VoicePort(), error, ownAddress_)) {
        voiceBound_ = voice_.Hello(tree_.ownId, options_.IsAdmin() ? std::min(TimeoutMs(), 2000) : TimeoutMs());
    }
    if (!voiceBound_ && !options_.IsAdmin()) {
        error = "no answer to the voice hello on UDP port " + std::to_string(options_.VoicePort());
        return false;
    }

    tree_.administrator = options_.IsAdmin();
    const std::string login =
        options_.IsAdmin()
            ? LineBuilder("admin").String("username", options_.admin).String("password", password).Finish()
            : LineBuilder("login")
                  .String("protocol", "3.4")
                  .String("nickname", options_.user)
                  .String("serverpassword", password)
                  .Int("bandmode", 0)
                  .Int("framesize", 320)
                  .Int("encodedframesize", 20)
                  .Int("fpp", 2)
                  .String("version", "quorvane-cli " QUORVANE_CLI_VERSION)
                  .Finish();
    const Reply reply = Execute(login);
    if (!reply.ok) {
        error = "login refused: " + reply.errorText;
        return false;
    }
    if (options_.IsAdmin()) tree_.loggedIn = true;
    opened_ = true;
    nextPing_ = Clock::now() + std::chrono::milliseconds(PING_INTERVAL_MS);
    nextVoiceKeepAlive_ = Clock::now() + std::chrono::milliseconds(VOICE_KEEPALIVE_INTERVAL_MS);
    return true;
}

bool ClientSession::SendPing() {
    ++pingsSent_;
    return tcp_.Send("ping\r\n");
}

void ClientSession::Lost() {
    tcp_.Close();
    if (!opened_ || LineWord(lastLine_) == "error") return;
    // Only a running server's loop sends a welcome: a server that is stopping may still
    // take a connection into its backlog, but closes it unanswered.
    const int probeMs = std::min(TimeoutMs(), 2000);
    LineConnection probe;
    probe.UseTls(options_.tls);
    std::string ignored, welcome;
    stillRuns_ = probe.Connect(options_.host, options_.port, probeMs, ignored) &&
                 probe.ReadLine(welcome, probeMs) == LineConnection::READ_LINE && LineWord(welcome) == "welcome";
    if (stillRuns_) probe.Send("quit\r\n");
}

std::string ClientSession::ClosedText() const {
    std::string plain = "the server closed the connection";
    if (stillRuns_) return plain + " and still runs: kicked by an operator or the administrator";
    if (LineWord(lastLine_) != "error") return plain;
    const int number = IntParam(lastLine_, "number");
    std::string message = TextParam(lastLine_, "message");
    if (message.empty()) message = GetErrorMessage(number);
    return plain + " after error " + std::to_string(number) + ": " + message;
}

bool ClientSession::HandleLine(const std::string& line) {
    lastLine_ = line;
    if (LineWord(line) == "pong") {
        ++pongsSeen_;
        return false;
    }
    // The sink sees the tree as it was, so it can tell what the line changes.
    // Until the login is through, the lines only build the first picture of the tree.
    if (sink_ && opened_) sink_(line, tree_);
    return tree_.Apply(line);
}

Reply ClientSession::Execute(const std::string& line) {
    Reply reply;
    const std::string finished =
        line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? line : line + "\r\n";
    if ((!line.empty() && !tcp_.Send(finished)) || !SendPing()) {
        reply.ok = false;
        reply.errorText = "the connection to the server is lost";
        return reply;
    }
    const long awaited = pingsSent_;
    const Deadline deadline(TimeoutMs());
    while (pongsSeen_ < awaited) {
        std::string received;
        const LineConnection::ReadResult got = tcp_.ReadLine(received, deadline.RemainingMs());
        if (got != LineConnection::READ_LINE) {
            reply.ok = false;
            if (got == LineConnection::READ_CLOSED) Lost();
            reply.errorText = got == LineConnection::READ_TIMEOUT
                                  ? "no reply from the server within " + std::to_string(options_.timeoutSeconds) + " s"
                                  : ClosedText();
            return reply;
        }
        const std::string word = LineWord(received);
        // "filerejected" is the refusal of a transfer registration: a number, no text.
        if ((word == "error" || word == "filerejected") && reply.ok) {
            reply.ok = false;
            GetIntParam(received, "number", reply.errorNumber);
            if (!GetStringParam(received, "message", reply.errorText)) {
                reply.errorText = GetErrorMessage(reply.errorNumber);
            }
        }
        // What the tree takes in is kept there; the reply keeps the command's own lines,
        // so an administrator's login into a large server does not hold a copy of it.
        if (!HandleLine(received) && word != "pong") reply.lines.push_back(received);
    }
    return reply;
}

bool ClientSession::Poll(int timeoutMs) {
    if (!tcp_.IsOpen()) return false;
    pollfd fds[2] = {{tcp_.Fd(), POLLIN, 0}, {voice_.Fd(), POLLIN, 0}};
    const int rc = ::poll(fds, voice_.Fd() >= 0 ? 2 : 1, tcp_.HasBufferedLine() ? 0 : timeoutMs);
    if (rc > 0 && voice_.Fd() >= 0 && (fds[1].revents & POLLIN) != 0) voice_.Drain();
    if (rc <= 0 && !tcp_.HasBufferedLine()) return true;
    for (;;) {
        std::string line;
        const LineConnection::ReadResult got = tcp_.ReadLine(line, 0);
        if (got == LineConnection::READ_TIMEOUT) return true;
        if (got == LineConnection::READ_CLOSED) {
            Lost();
            return false;
        }
        HandleLine(line);
    }
}

int ClientSession::KeepAlive() {
    const Clock::time_point now = Clock::now();
    if (now >= nextPing_) {
        SendPing();
        nextPing_ = now + std::chrono::milliseconds(PING_INTERVAL_MS);
    }
    if (voiceBound_ && now >= nextVoiceKeepAlive_) {
        voice_.SendKeepAlive(tree_.ownId);
        nextVoiceKeepAlive_ = now + std::chrono::milliseconds(VOICE_KEEPALIVE_INTERVAL_MS);
    }
    const Clock::time_point next = voiceBound_ ? std::min(nextPing_, nextVoiceKeepAlive_) : nextPing_;
    return static_cast<int>(
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count()));
}

void ClientSession::Quit() {
    if (tcp_.IsOpen()) tcp_.Send("quit\r\n");
    tcp_.Close();
}

}  // namespace cli
}  // namespace quorvane
