// The server's own address that a datagram was sent to, and the interface it came in on
// (kept for a link-local address only, which means nothing without it): what an answer
// leaves from, so that a client of a second address does not drop it. None when the
// socket is bound to one address, which answers leave from anyway.
//
// Plain data; any thread.
#ifndef QUORVANE_NETWORK_LOCALADDRESS_H
#define QUORVANE_NETWORK_LOCALADDRESS_H

#include <cstdint>

#include "network/IpAddress.h"

struct LocalAddress {
    IpAddress address;       // :: when none
    uint32_t interface = 0;  // 0 but for a link-local address

    bool IsSet() const { return !address.IsUnspecified(); }
    bool operator==(const LocalAddress& other) const {
        return address == other.address && interface == other.interface;
    }
    bool operator!=(const LocalAddress& other) const { return !(*this == other); }
};

#endif
