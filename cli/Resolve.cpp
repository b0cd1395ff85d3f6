#include "Resolve.h"

#include <cstring>

namespace quorvane {
namespace cli {

int OpenFirstAddress(const std::string& host, int port, int socketType,
                     const std::function<int(const addrinfo*, std::string& error)>& open, std::string& error) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) fd = open(ai, error);
    ::freeaddrinfo(found);
    return fd;
}

}  // namespace cli
}  // namespace quorvane
