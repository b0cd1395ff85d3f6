// The voice datagrams: two users have said hello, logged in and joined one channel; the
// input is a series of datagrams, each a length byte, a sender byte (which of the two
// addresses, or a foreign one) and the datagram's bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzServer.h"

// The two users stay for the whole run; each input starts with their hellos again, so
// whatever an earlier input did to their addresses is undone.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::FuzzServer* server = new fuzzing::FuzzServer;
    static const ACE_INET_Addr senders[3] = {ACE_INET_Addr(static_cast<u_short>(4001), "127.0.0.1"),
                                             ACE_INET_Addr(static_cast<u_short>(4002), "127.0.0.1"),
                                             ACE_INET_Addr(static_cast<u_short>(4003), "127.0.0.2")};
    static int clients[2] = {-1, -1};
    static int ids[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        if (ids[i] == 0) {
            ids[i] = server->Connect(clients[i]);
            server->HelloLoginJoin(ids[i], senders[i], "/v/");
        }
        server->Hello(ids[i], senders[i]);
    }
    std::vector<char> datagram;
    for (size_t at = 0; at + 2 <= size;) {
        const size_t length = data[at];
        const ACE_INET_Addr& from = senders[data[at + 1] % 3];
        at += 2;
        const size_t take = length < size - at ? length : size - at;
        datagram.assign(reinterpret_cast<const char*>(data) + at, reinterpret_cast<const char*>(data) + at + take);
        server->Node().Voice().OnPacketReceived(datagram.data(), static_cast<int>(datagram.size()), from);
        at += take;
    }
    for (int i = 0; i < 2; ++i) server->Pump(clients[i]);
    return 0;
}
