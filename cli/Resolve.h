// Name resolution shared by the command, data and voice sockets.
#ifndef QUORVANE_CLI_RESOLVE_H
#define QUORVANE_CLI_RESOLVE_H

#include <netdb.h>

#include <functional>
#include <string>

namespace quorvane {
namespace cli {

// Resolves host and port for the socket type and offers each address to open in turn
// until one answers a descriptor >= 0, which is returned; -1 with the reason otherwise
// (open sets the reason for its own failures). An IPv6 host may be given in brackets,
// as in a URL ("[::1]"); a name may have addresses of both families.
int OpenFirstAddress(const std::string& host, int port, int socketType,
                     const std::function<int(const addrinfo*, std::string& error)>& open, std::string& error);

// A new socket for the resolved address, bound to the numeric address from (port 0) so
// that the server sees all of a session's connections come from one address (an IPv6 host
// has several, and may prefer another for the next connection); an empty from, or one of
// the other family, binds nothing. -1 with the reason.
int SocketFrom(const addrinfo* ai, const std::string& from, std::string& error);

// The numeric text of a connected socket's own address or its peer's ("::1",
// "fe80::1%eth0"); empty when it has none.
std::string LocalAddressOf(int fd);
std::string PeerAddressOf(int fd);

}  // namespace cli
}  // namespace quorvane

#endif
