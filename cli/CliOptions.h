// The command line of quorvane-cli: where to connect, who to log in as, and what to run.
#ifndef QUORVANE_CLI_CLIOPTIONS_H
#define QUORVANE_CLI_CLIOPTIONS_H

#include <string>
#include <vector>

#include "ClientTls.h"

namespace quorvane {
namespace cli {

struct CliOptions {
    std::string host = "127.0.0.1";
    int port = 10300;
    int udpPort = 0;                    // 0: the TCP port + 1, as the server's defaults pair them
    std::string user;                   // nickname of a user login
    std::string admin;                  // account name of an administrator login
    std::vector<std::string> commands;  // -c, run in order; none: interactive
    bool json = false;
    int timeoutSeconds = 10;  // for each reply of the server
    ClientTls tls;

    int VoicePort() const { return udpPort > 0 ? udpPort : port + 1; }
    bool IsAdmin() const { return !admin.empty(); }
};

// Parses argv. Answers -1 when the options were fine and the program should go on;
// otherwise the exit code (0 after --help or --version, 2 after a usage error), with
// the text already printed.
int ParseCliOptions(int argc, char** argv, CliOptions& options);

}  // namespace cli
}  // namespace quorvane

#endif
