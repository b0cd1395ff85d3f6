// Where the server's command and voice sockets listen: on every address, or on one.
//
// Every address is one dual-stack IPv6 socket per port (IPV6_V6ONLY off, whatever the
// system's default), so IPv4 and IPv6 clients reach the same socket and an IPv4 peer shows
// as ::ffff:a.b.c.d; on a machine without IPv6 it is an IPv4 socket alone. One address is
// that address only, in its own family: "0.0.0.0" is every IPv4 address and "::" every
// IPv6 address (IPV6_V6ONLY on).
//
// Plain data; any thread.
#ifndef QUORVANE_NETWORK_BINDADDRESS_H
#define QUORVANE_NETWORK_BINDADDRESS_H

#include <string>

#include "network/SocketAddress.h"

class ACE_INET_Addr;

class BindAddress {
public:
    BindAddress() : every_(true) {}  // every address

    // That address alone (its port is not used).
    static BindAddress One(const ACE_INET_Addr& address);
    static BindAddress One(const SocketAddress& address);
    // The text of the bind-ip setting: empty for every address, an IPv4 address as
    // inet_addr(3) reads it, or an IPv6 address, with its zone for a link-local one
    // ("fe80::1%eth0"). False for anything else.
    static bool Parse(const std::string& text, BindAddress& out);

    bool IsEvery() const { return every_; }
    // Every address of at least one family (every address, "0.0.0.0" or "::"): the
    // local address a datagram was sent to must be read from each one.
    bool IsWildcard() const;

    // A new socket of the type (SOCK_STREAM or SOCK_DGRAM) bound to the port, close-on-exec;
    // a stream socket reuses the address (past connections in TIME_WAIT) but does not
    // listen yet. -1 with errno set when it cannot be had.
    int Bind(int type, int port) const;

    // Whether the kernel offers IPv6 sockets at all.
    static bool HasIpv6();

private:
    bool every_;
    SocketAddress one_;  // port 0
};

#endif
