#include "network/IpAddress.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include <ace/INET_Addr.h>

namespace {

const uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

IpAddress IpAddress::FromV4(uint32_t hostOrder) {
    IpAddress address;
    std::memcpy(address.bytes_, MAPPED_PREFIX, sizeof MAPPED_PREFIX);
    const uint32_t network = htonl(hostOrder);
    std::memcpy(address.bytes_ + 12, &network, 4);
    return address;
}

IpAddress IpAddress::FromV6(const in6_addr& in) {
    IpAddress address;
    std::memcpy(address.bytes_, in.s6_addr, 16);
    return address;
}

bool IpAddress::FromSockaddr(const sockaddr* address, socklen_t length, IpAddress& out, uint32_t* scope) {
    if (!address) return false;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        out = FromV4(ntohl(v4.sin_addr.s_addr));
        if (scope) *scope = 0;
        return true;
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        out = FromV6(v6.sin6_addr);
        if (scope) *scope = out.IsV4() ? 0 : v6.sin6_scope_id;
        return true;
    }
    return false;
}

bool IpAddress::FromAce(const ACE_INET_Addr& address, IpAddress& out, uint32_t* scope) {
    return FromSockaddr(static_cast<const sockaddr*>(address.get_addr()), static_cast<socklen_t>(address.get_size()),
                        out, scope);
}

bool IpAddress::Parse(const std::string& text, IpAddress& out) {
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        out = FromV4(ntohl(v4.s_addr));
        return true;
    }
    in6_addr v6;
    if (text.find('%') != std::string::npos || inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
    out = FromV6(v6);
    return true;
}

bool IpAddress::IsV4() const { return std::memcmp(bytes_, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0; }

uint32_t IpAddress::V4() const {
    if (!IsV4()) return 0;
    uint32_t network;
    std::memcpy(&network, bytes_ + 12, 4);
    return ntohl(network);
}

bool IpAddress::IsUnspecified() const { return *this == IpAddress(); }

bool IpAddress::IsLinkLocal() const { return bytes_[0] == 0xfe && (bytes_[1] & 0xc0) == 0x80; }

IpAddress IpAddress::Prefix(int bits) const {
    if (IsV4() || bits < 0 || bits >= BITS) return *this;
    IpAddress network;
    const int whole = bits / 8;
    std::memcpy(network.bytes_, bytes_, static_cast<size_t>(whole));
    if (bits % 8 != 0) network.bytes_[whole] = static_cast<uint8_t>(bytes_[whole] & (0xff00 >> (bits % 8)));
    return network;
}

// RFC 5952: lower-case hexadecimal without leading zeros, the longest run of two or more
// zero groups (the first of equal runs) written as "::".
size_t IpAddress::Format(char* out) const {
    if (IsV4()) {
        const uint32_t v4 = V4();
        return static_cast<size_t>(
            std::snprintf(out, TEXT_SIZE, "%u.%u.%u.%u", v4 >> 24, (v4 >> 16) & 0xff, (v4 >> 8) & 0xff, v4 & 0xff));
    }
    unsigned groups[8];
    for (size_t i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes_[2 * i]) << 8 | bytes_[2 * i + 1];
    int runStart = -1, runLength = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > runLength && j - i >= 2) {
            runStart = i;
            runLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    size_t length = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == runStart) {
            out[length++] = ':';
            if (i == 0) out[length++] = ':';
            i += runLength - 1;
            continue;
        }
        length += static_cast<size_t>(std::snprintf(out + length, TEXT_SIZE - length, "%x", groups[i]));
        if (i < 7) out[length++] = ':';
    }
    out[length] = '\0';
    return length;
}

std::string IpAddress::Text() const {
    char text[TEXT_SIZE];
    const size_t length = Format(text);
    return std::string(text, length);
}

bool IpAddress::operator==(const IpAddress& other) const { return std::memcmp(bytes_, other.bytes_, 16) == 0; }

bool IpAddress::operator<(const IpAddress& other) const { return std::memcmp(bytes_, other.bytes_, 16) < 0; }
