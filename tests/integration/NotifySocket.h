// A datagram socket in the role of systemd's notification socket or of syslog: the
// messages a server sends to it, each waited for with a bounded time.
#ifndef QUORVANE_TESTS_NOTIFYSOCKET_H
#define QUORVANE_TESTS_NOTIFYSOCKET_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {

class NotifySocket {
public:
    // A path, or "@name" in the abstract namespace, as systemd's NOTIFY_SOCKET may be.
    explicit NotifySocket(const std::string& path) : fd_(socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        EXPECT_LT(path.size(), sizeof(address.sun_path));
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        const bool abstract = path[0] == '@';
        if (abstract) address.sun_path[0] = '\0';
        const socklen_t length =
            abstract ? static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size()) : sizeof(address);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
    }
    ~NotifySocket() { close(fd_); }

    // The next message that starts with the prefix, skipping others; empty when none
    // came in time.
    std::string NextWith(const std::string& prefix, int timeoutMs = DEFAULT_TIMEOUT_MS) {
        for (std::string message = Next(timeoutMs); !message.empty(); message = Next(timeoutMs)) {
            if (message.rfind(prefix, 0) == 0) return message;
        }
        return "";
    }
    // Every message that came, up to the last one.
    std::vector<std::string> Drain() {
        std::vector<std::string> messages;
        for (std::string message = Next(0); !message.empty(); message = Next(0)) messages.push_back(message);
        return messages;
    }

    // The next message; empty when none came in time.
    std::string Next(int timeoutMs = DEFAULT_TIMEOUT_MS) {
        pollfd ready = {fd_, POLLIN, 0};
        char buffer[4096];
        if (poll(&ready, 1, timeoutMs) != 1) {
            return "";
        }
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }

private:
    int fd_;
};

}  // namespace test
}  // namespace quorvane

#endif
