#include "VoiceLink.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "Deadline.h"
#include "Resolve.h"
#include "network/HelloPacket.h"
#include "network/KeepAlivePacket.h"

namespace quorvane {
namespace cli {

VoiceLink::~VoiceLink() {
    if (fd_ >= 0) ::close(fd_);
}

bool VoiceLink::Open(const std::string& host, int port, std::string& error, const std::string& from) {
    // A connected datagram socket: only the server's packets come in, sends need no address.
    fd_ = OpenFirstAddress(
        host, port, SOCK_DGRAM,
        [&from](const addrinfo* ai, std::string& reason) {
            const int fd = SocketFrom(ai, from, reason);
            if (fd < 0) return -1;
            if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
                reason = std::generic_category().message(errno);
                ::close(fd);
                return -1;
            }
            return fd;
        },
        error);
    if (fd_ < 0) error = "cannot open the voice socket to " + host + " port " + std::to_string(port) + ": " + error;
    return fd_ >= 0;
}

std::string VoiceLink::HeaderBytes(int type, int userId) {
    char bytes[PACKET_HEADER_SIZE] = {static_cast<char>(type), CLIENT_PACKET_PROTOCOL, 0, 0, 0, 0};
    WriteUInt16LE(bytes + 2, PACKET_HEADER_SIZE);
    WriteUInt16LE(bytes + 4, static_cast<uint16_t>(userId));
    return std::string(bytes, sizeof(bytes));
}

bool VoiceLink::Hello(int userId, int timeoutMs) {
    const std::string hello = HeaderBytes(PACKET_HELLO, userId);
    const Deadline deadline(timeoutMs);
    while (!deadline.Passed()) {
        if (::send(fd_, hello.data(), hello.size(), 0) < 0) return false;
        const Deadline retry(std::min(500, deadline.RemainingMs()));
        while (!retry.Passed()) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, retry.RemainingMs()) <= 0) break;
            char datagram[2048];
            const ssize_t n = ::recv(fd_, datagram, sizeof(datagram), 0);
            if (n < 0) break;  // e.g. the port refused; try again on the next round
            const HelloPacket answer(datagram, static_cast<int>(n));
            if (answer.GetPacketType() == PACKET_ACKNOWLEDGE) return true;
        }
    }
    return false;
}

void VoiceLink::SendKeepAlive(int userId) {
    std::string bytes = HeaderBytes(PACKET_KEEPALIVE, 0);
    KeepAlivePacket packet(&bytes[0], static_cast<int>(bytes.size()));
    packet.SetAnswerForm(false);
    packet.SetUserID(userId);
    ::send(fd_, packet.GetPacket(), PACKET_HEADER_SIZE, MSG_DONTWAIT);
}

void VoiceLink::Drain() {
    char datagram[65536];
    while (fd_ >= 0 && ::recv(fd_, datagram, sizeof(datagram), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace cli
}  // namespace quorvane
