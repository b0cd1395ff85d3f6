#include "network/BindAddress.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <ace/INET_Addr.h>
#include <ace/OS_NS_arpa_inet.h>

namespace {

// A socket of the family and type bound to the address; IPv6 only or both families as
// asked. -1 with errno set.
int BindSocket(const SocketAddress& address, int type, bool dualStack) {
    const int fd = ::socket(address.any.sa_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1, v6Only = dualStack ? 0 : 1;
    const bool ready =
        (type != SOCK_STREAM || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0) &&
        (address.any.sa_family != AF_INET6 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) == 0);
    if (ready && ::bind(fd, &address.any, address.length) == 0) return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

}  // namespace

BindAddress BindAddress::One(const ACE_INET_Addr& address) {
    SocketAddress socket;
    const size_t size = static_cast<size_t>(address.get_size());
    std::memcpy(&socket.v6, address.get_addr(), size < sizeof socket.v6 ? size : sizeof socket.v6);
    socket.length = static_cast<socklen_t>(size < sizeof socket.v6 ? size : sizeof socket.v6);
    return One(socket);
}

BindAddress BindAddress::One(const SocketAddress& address) {
    BindAddress where;
    IpAddress ip;
    uint32_t scope = 0;
    if (!IpAddress::FromSockaddr(&address.any, address.length, ip, &scope)) return where;
    where.every_ = false;
    where.one_.Set(address.any.sa_family, ip, 0, scope);
    return where;
}

bool BindAddress::Parse(const std::string& text, BindAddress& out) {
    out = BindAddress();
    if (text.empty()) return true;
    // IPv4 is read as it always was ("255.255.255.255" is the parser's no-address value).
    const ACE_UINT32 networkOrder = ACE_OS::inet_addr(text.c_str());
    if (networkOrder != INADDR_NONE) {
        out.every_ = false;
        return out.one_.Set(AF_INET, IpAddress::FromV4(ACE_NTOHL(networkOrder)), 0);
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (text.find(':') == std::string::npos || ::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return false;
    IpAddress ip;
    uint32_t scope = 0;
    const bool parsed = IpAddress::FromSockaddr(found->ai_addr, found->ai_addrlen, ip, &scope);
    ::freeaddrinfo(found);
    // A mapped IPv4 address would bind an IPv6 socket that no IPv4 client reaches.
    if (!parsed || ip.IsV4()) return false;
    out.every_ = false;
    return out.one_.Set(AF_INET6, ip, 0, scope);
}

bool BindAddress::IsWildcard() const {
    if (every_) return true;
    IpAddress ip;
    return IpAddress::FromSockaddr(&one_.any, one_.length, ip) && (ip.IsUnspecified() || ip == IpAddress::FromV4(0));
}

int BindAddress::Bind(int type, int port) const {
    SocketAddress address = one_;
    if (every_) {
        address.Set(AF_INET6, IpAddress(), static_cast<uint16_t>(port));
        const int fd = BindSocket(address, type, true);
        // Only a machine without IPv6 gets IPv4 alone: any other failure (the port in
        // use, say) is the start's to report.
        if (fd >= 0 || (errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT)) return fd;
        address.Set(AF_INET, IpAddress::FromV4(0), static_cast<uint16_t>(port));
        return BindSocket(address, type, false);
    }
    if (address.any.sa_family == AF_INET6) address.v6.sin6_port = htons(static_cast<uint16_t>(port));
    else address.v4.sin_port = htons(static_cast<uint16_t>(port));
    return BindSocket(address, type, false);
}

bool BindAddress::HasIpv6() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
