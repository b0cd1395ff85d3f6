// A socket address of either family in the space of the larger one, for system calls that
// take a sockaddr and its length (the voice path's receive and send records).
//
// Plain data; any thread.
#ifndef QUORVANE_NETWORK_SOCKETADDRESS_H
#define QUORVANE_NETWORK_SOCKETADDRESS_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "network/IpAddress.h"

struct SocketAddress {
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    };
    socklen_t length;

    SocketAddress() : v6(), length(0) {}

    // The address for a socket of the family: an IPv4 address as itself on an AF_INET
    // socket and mapped on an AF_INET6 one, an IPv6 address (with its scope) only on an
    // AF_INET6 one. False when the socket cannot reach it.
    bool Set(int family, const IpAddress& address, uint16_t port, uint32_t scope = 0);
};

#endif
