// A socket that keeps a loopback port taken for a test's duration, so that the server
// cannot have it.
#ifndef QUORVANE_TESTS_PORTHOLDER_H
#define QUORVANE_TESTS_PORTHOLDER_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace quorvane {
namespace test {

class PortHolder {
public:
    PortHolder(int type, int port) : fd_(socket(AF_INET, type, 0)) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        held_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                (type != SOCK_STREAM || listen(fd_, 1) == 0);
    }
    ~PortHolder() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool IsHeld() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};

}  // namespace test
}  // namespace quorvane

#endif
