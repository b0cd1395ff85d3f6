#include "CliOptions.h"

#include <cstdio>

#include <CLI/CLI.hpp>

#include "CommandTable.h"

namespace quorvane {
namespace cli {

int ParseCliOptions(int argc, char** argv, CliOptions& options) {
    CLI::App app{
        "Command-line client of the Quorvane server: log in, watch the channel tree, talk, "
        "share files and administer the server.\n"
        "Without -c it opens an interactive prompt on a terminal (type 'help'), or runs the lines of "
        "standard input as -c would. Passwords are read from "
        "QUORVANE_PASSWORD or asked for without echo, never taken from the command line.",
        "quorvane-cli"};
    app.set_version_flag("--version", "quorvane-cli " QUORVANE_CLI_VERSION " (protocol 3.4)");
    // Every command and the exit statuses, from the command table: the manual page and the
    // shell completion are made from this text too.
    app.footer("Commands:\n" + CommandHelp("") +
               "\nExit status:\n"
               "  0  every command succeeded (at the prompt: none failed)\n"
               "  1  a command was refused or failed, or the connection was lost\n"
               "  2  wrong options, or the client could not connect or log in");
    app.add_option("--host", options.host, "server name or address (IPv4, or IPv6 with or without brackets)")
        ->capture_default_str();
    app.add_option("--port", options.port, "TCP port of the server")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    app.add_option("--udp-port", options.udpPort, "UDP voice port (default: the TCP port + 1)")
        ->check(CLI::Range(1, 65535));
    CLI::Option* user = app.add_option("--user", options.user, "log in as a user with this nickname");
    CLI::Option* admin = app.add_option("--admin", options.admin, "log in as the administrator with this account name");
    user->excludes(admin);
    app.add_option("-c,--command", options.commands,
                   "run this command (repeatable, in order) and exit; the status is non-zero "
                   "when one fails")
        ->take_all();
    app.add_flag("--json", options.json, "print one JSON object a line instead of tab-separated values");
    app.add_option("--timeout", options.timeoutSeconds, "seconds to wait for each reply")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    CLI::Option* tls = app.add_flag("--tls", options.tls.on,
                                    "connect inside TLS (to the server's tls-port), checking its certificate and "
                                    "name; file transfers too");
    app.add_option("--ca", options.tls.ca, "PEM file of the certificates to trust for --tls instead of the system's")
        ->check(CLI::ExistingFile)
        ->needs(tls);
    app.add_flag("--tls-insecure", options.tls.insecure,
                 "with --tls: check neither the certificate nor its name (anyone on the way can read and change "
                 "everything)")
        ->needs(tls);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (options.tls.insecure)
        std::fprintf(stderr,
                     "Warning: --tls-insecure: the server's certificate is not checked. Anyone between here and the "
                     "server can pose as it, read everything, passwords included, and change it.\n");
    return -1;
}

}  // namespace cli
}  // namespace quorvane
