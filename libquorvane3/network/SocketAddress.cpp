#include "network/SocketAddress.h"

#include <cstring>

bool SocketAddress::Set(int family, const IpAddress& address, uint16_t port, uint32_t scope) {
    if (family == AF_INET6) {
        v6 = sockaddr_in6();
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        std::memcpy(v6.sin6_addr.s6_addr, address.Bytes(), 16);
        v6.sin6_scope_id = address.IsV4() ? 0 : scope;
        length = sizeof v6;
        return true;
    }
    if (family != AF_INET || !address.IsV4()) return false;
    v4 = sockaddr_in();
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(address.V4());
    length = sizeof v4;
    return true;
}
