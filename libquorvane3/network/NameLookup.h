// The addresses of a host for a listening socket, without letting a resolver that does
// not answer hold the caller (the main loop during a reload): a name is looked up on a
// thread of its own, which the caller waits for at most the deadline; a late answer is
// dropped by that thread. Numeric addresses need no look-up.
//
// Threads: any; each call has its own look-up.
#ifndef QUORVANE_NETWORK_NAMELOOKUP_H
#define QUORVANE_NETWORK_NAMELOOKUP_H

#include <netdb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "network/SocketAddress.h"

class NameLookup {
public:
    enum {
        DEADLINE_MS = 5000,
        MAX_ADDRESSES = 8,  // of one name; more is refused
    };

    // The host's addresses with the port, each once, in the resolver's order; false with
    // the reason when there is none, the look-up failed or ran out of time, or the name
    // has more than MAX_ADDRESSES.
    static bool Resolve(const std::string& host, uint16_t port, std::vector<SocketAddress>& out, std::string& error,
                        int deadlineMs = DEADLINE_MS);
    // The addresses of a resolver's answer, as Resolve takes them.
    static bool Collect(const std::string& host, const addrinfo* found, uint16_t port, std::vector<SocketAddress>& out,
                        std::string& error);
};

#endif
