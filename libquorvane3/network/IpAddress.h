// An IP address of either family as one value of 16 bytes: an IPv4 address is kept in its
// IPv4-mapped form (::ffff:a.b.c.d), which is also how a dual-stack socket shows an IPv4
// peer, so the same client compares equal whichever socket it came through. Its text is
// plain dotted IPv4 for IPv4 (never ::ffff:) and the compressed form of RFC 5952 for IPv6.
//
// Plain data: nothing is allocated but by Text(); any thread.
#ifndef QUORVANE_NETWORK_IPADDRESS_H
#define QUORVANE_NETWORK_IPADDRESS_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

class ACE_INET_Addr;

class IpAddress {
public:
    enum {
        TEXT_SIZE = 46,  // the longest text and its NUL (INET6_ADDRSTRLEN)
        BITS = 128,
    };

    IpAddress() : bytes_() {}  // the unspecified IPv6 address, ::

    static IpAddress FromV4(uint32_t hostOrder);
    static IpAddress FromV6(const in6_addr& address);
    // The address of a socket address of either family; scope, when given, gets an IPv6
    // address's interface (0 for IPv4). False for any other family.
    static bool FromSockaddr(const sockaddr* address, socklen_t length, IpAddress& out, uint32_t* scope = nullptr);
    static bool FromAce(const ACE_INET_Addr& address, IpAddress& out, uint32_t* scope = nullptr);
    // Dotted IPv4 (four decimal numbers) or IPv6 in any of its text forms, without a zone.
    static bool Parse(const std::string& text, IpAddress& out);

    bool IsV4() const;
    uint32_t V4() const;  // host order; 0 unless IsV4()
    bool IsUnspecified() const;
    bool IsLinkLocal() const;  // fe80::/10
    const uint8_t* Bytes() const { return bytes_; }

    // The network of the address: its first bits, the rest cleared. An IPv4 address is
    // always whole (its bits are not IPv6's); bits outside 0..128 count as 128.
    IpAddress Prefix(int bits) const;

    // The text and its length, written to out (TEXT_SIZE bytes, NUL-terminated).
    size_t Format(char* out) const;
    std::string Text() const;

    bool operator==(const IpAddress& other) const;
    bool operator!=(const IpAddress& other) const { return !(*this == other); }
    bool operator<(const IpAddress& other) const;

private:
    uint8_t bytes_[16];
};

#endif
