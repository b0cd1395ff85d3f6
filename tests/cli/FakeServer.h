// A scripted stand-in for the server on loopback, for driving the client's pieces
// in-process: each accepted TCP connection runs the script on its own thread, and an
// optional UDP socket acknowledges hellos. Every wait in here is bounded.
#ifndef QUORVANE_TESTS_CLI_FAKESERVER_H
#define QUORVANE_TESTS_CLI_FAKESERVER_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "CliOptions.h"
#include "LineConnection.h"

namespace quorvane {
namespace cli {

// A socket bound to 127.0.0.1 on a port the kernel picks.
inline int BoundLoopback(int type, int& port) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

class FakeServer {
public:
    typedef std::function<void(LineConnection&)> Script;

    explicit FakeServer(Script script, int connections = 1, bool voice = false) {
        listener_ = BoundLoopback(SOCK_STREAM, port_);
        ::listen(listener_, 4);
        if (voice) voice_ = BoundLoopback(SOCK_DGRAM, voicePort_);
        thread_ = std::thread([this, script, connections] {
            for (int i = 0; i < connections; ++i) {
                pollfd p = {listener_, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0) return;
                LineConnection conn;
                conn.Adopt(::accept(listener_, nullptr, nullptr));
                script(conn);
            }
            // Served: like a stopped server, it takes no more connections.
            ::close(listener_);
            listener_ = -1;
        });
        if (voice_ >= 0) voiceThread_ = std::thread([this] { AcknowledgeHello(); });
    }

    ~FakeServer() {
        thread_.join();
        if (voiceThread_.joinable()) voiceThread_.join();
        if (listener_ >= 0) ::close(listener_);
        if (voice_ >= 0) ::close(voice_);
    }

    int Port() const { return port_; }
    int VoicePort() const { return voicePort_; }

private:
    void AcknowledgeHello() {
        pollfd p = {voice_, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return;
        char datagram[64];
        sockaddr_in from = {};
        socklen_t length = sizeof(from);
        if (::recvfrom(voice_, datagram, sizeof(datagram), 0, reinterpret_cast<sockaddr*>(&from), &length) == 6 &&
            datagram[0] == 1) {
            const char ack[6] = {2, 5, 6, 0, 0, 0};
            ::sendto(voice_, ack, sizeof(ack), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    int voice_ = -1;
    int voicePort_ = 0;
    std::thread thread_;
    std::thread voiceThread_;
};

// Options that point a session at the server.
inline CliOptions OptionsFor(const FakeServer& server, int timeoutSeconds) {
    CliOptions options;
    options.port = server.Port();
    options.udpPort = server.VoicePort();
    options.timeoutSeconds = timeoutSeconds;
    return options;
}

// The next line the client sent, or "" when none came in time.
inline std::string Received(LineConnection& conn) {
    std::string line;
    return conn.ReadLine(line, 10000) == LineConnection::READ_LINE ? line : "";
}

}  // namespace cli
}  // namespace quorvane

#endif
