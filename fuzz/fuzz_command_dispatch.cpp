// The whole command dispatch of one connection: the input is what the client sends, cut
// into reads at each 0xff byte, after a connection that has said hello and logged in
// for half of the inputs.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::FuzzServer* server = new fuzzing::FuzzServer;
    int client = -1;
    const int userId = server->Connect(client);
    if (size > 0 && (data[0] & 1) && userId != 0)
        server->HelloLoginJoin(userId, ACE_INET_Addr(static_cast<u_short>(4000), "127.0.0.1"), "/f/");
    const char* const end = reinterpret_cast<const char*>(data) + size;
    for (const char* at = reinterpret_cast<const char*>(data); at < end && userId != 0;) {
        const char* cut = static_cast<const char*>(std::memchr(at, '\xff', static_cast<size_t>(end - at)));
        if (!cut) cut = end;
        if (!server->Feed(userId, at, static_cast<size_t>(cut - at))) break;
        at = cut + 1;
    }
    server->Disconnect(userId, client);
    return 0;
}
