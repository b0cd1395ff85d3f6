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
// (open sets the reason for its own failures).
int OpenFirstAddress(const std::string& host, int port, int socketType,
                     const std::function<int(const addrinfo*, std::string& error)>& open, std::string& error);

}  // namespace cli
}  // namespace quorvane

#endif
