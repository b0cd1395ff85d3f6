// quorvane-cli: a command-line client of the Quorvane server for people and scripts.
#include <csignal>

#include "CliApp.h"
#include "CliOptions.h"

int main(int argc, char** argv) {
    quorvane::cli::CliOptions options;
    const int code = quorvane::cli::ParseCliOptions(argc, argv, options);
    if (code >= 0) return code;
    std::signal(SIGPIPE, SIG_IGN);
    quorvane::cli::CliApp app(options);
    return app.Run();
}
