// How quorvane-cli speaks TLS: whether at all, which certificates it trusts, and whether it
// checks the server's at all. Plain data.
#ifndef QUORVANE_CLI_CLIENTTLS_H
#define QUORVANE_CLI_CLIENTTLS_H

#include <string>

namespace quorvane {
namespace cli {

struct ClientTls {
    bool on = false;
    std::string ca;         // PEM file of the certificates to trust; empty: the system's
    bool insecure = false;  // no check of the certificate nor of its name
};

}  // namespace cli
}  // namespace quorvane

#endif
