#include "Resolve.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quorvane {
namespace cli {

namespace {

std::string Numeric(const sockaddr_storage& address, socklen_t length) {
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return std::string();
    return host;
}

}  // namespace

int OpenFirstAddress(const std::string& host, int port, int socketType,
                     const std::function<int(const addrinfo*, std::string& error)>& open, std::string& error) {
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    const std::string name = bracketed ? host.substr(1, host.size() - 2) : host;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = bracketed ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = socketType;
    hints.ai_flags = bracketed ? AI_NUMERICHOST : 0;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) fd = open(ai, error);
    ::freeaddrinfo(found);
    return fd;
}

int SocketFrom(const addrinfo* ai, const std::string& from, std::string& error) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        error = std::generic_category().message(errno);
        return -1;
    }
    if (from.empty()) return fd;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = ai->ai_family;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (::getaddrinfo(from.c_str(), "0", &hints, &found) != 0) return fd;  // the other family
    const bool bound = ::bind(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!bound) error = "cannot use the address " + from + ": " + std::generic_category().message(errno);
    ::freeaddrinfo(found);
    if (bound) return fd;
    ::close(fd);
    return -1;
}

std::string LocalAddressOf(int fd) {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? Numeric(address, length) : "";
}

std::string PeerAddressOf(int fd) {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? Numeric(address, length) : "";
}

}  // namespace cli
}  // namespace quorvane
