#include "ServiceCommandLine.h"

// Written for help2man too: "Usage:", the options indented, notes after them.
const char* const ServiceCommandLine::USAGE =
    "Usage: %s [-d | -f | -i [-l USER] | -u | -s | -e]\n"
    "Runs the Quorvane voice-conferencing server, or manages its systemd service.\n"
    "\n"
    "Without an option the server runs in the foreground and prints nothing. Started\n"
    "by systemd it reports its state to systemd, and SIGHUP reloads its settings.\n"
    "\n"
    "Options:\n"
    "  -d             run in this terminal, saying when it starts and stops;\n"
    "                 Ctrl+C, SIGQUIT or SIGTERM stops it\n"
    "  -f             run in the foreground without output; SIGTERM, SIGINT or\n"
    "                 SIGHUP stops it\n"
    "  -i             install the systemd service quorvane-server for this program\n"
    "                 and enable it\n"
    "  -l USER        with -i: run the service as this user, who must exist and be\n"
    "                 able to write the program's directory\n"
    "  -p PASSWORD    ignored: systemd needs no password to run a service as a user\n"
    "  -u             stop the service if it runs, then disable and remove it\n"
    "  -s             start the installed service\n"
    "  -e             stop the running service\n"
    "  -h, -?, --help print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Options may also start with \"/\" (/h, /d). -i, -u, -s and -e need root.\n";

namespace {

// The options that are a letter alone, and what each does.
struct OptionRow {
    char letter;
    char immediate;
    ServiceCommandLine::Action action;
};
const OptionRow OPTIONS[] = {
    {'?', 'h', ServiceCommandLine::ACTION_NONE},  {'h', 'h', ServiceCommandLine::ACTION_NONE},
    {'d', 'd', ServiceCommandLine::ACTION_NONE},  {'f', 'f', ServiceCommandLine::ACTION_NONE},
    {'i', 0, ServiceCommandLine::ACTION_INSTALL}, {'u', 0, ServiceCommandLine::ACTION_REMOVE},
    {'e', 0, ServiceCommandLine::ACTION_END},     {'s', 0, ServiceCommandLine::ACTION_START},
};

// The value of -l or -p: the rest of the argument, else the next argument (which is
// then consumed). False when there is none.
bool TakeOptionValue(int argc, char** argv, int& index, std::string& value) {
    const char* rest = argv[index] + 2;
    if (*rest != '\0') {
        value = rest;
        return true;
    }
    if (index + 1 < argc && argv[index + 1] != nullptr) {
        value = argv[++index];
        return true;
    }
    return false;
}

}  // namespace

std::string ProgramName(int argc, char** argv) {
    const std::string path = argc > 0 && argv[0] != nullptr ? argv[0] : "quorvane-server";
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

ServiceCommandLine ReadCommandLine(int argc, char** argv, std::string& account, std::string& password) {
    ServiceCommandLine line;
    for (int i = 1; i < argc && line.error.empty(); ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        const bool option = arg.size() >= 2 && (arg[0] == '-' || arg[0] == '/');
        if (!option) {
            line.error = "unexpected argument \"" + arg + "\"";
            continue;
        }
        if (arg == "--help" || arg == "--version") {
            if (line.immediate == 0) line.immediate = arg == "--help" ? 'h' : 'v';
            continue;
        }
        if (arg[1] == 'l' || arg[1] == 'p') {
            if (!TakeOptionValue(argc, argv, i, arg[1] == 'l' ? account : password)) {
                line.error = "option " + arg + " needs a value";
            }
            continue;
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& candidate : OPTIONS) {
            if (arg.size() == 2 && arg[1] == candidate.letter) row = &candidate;
        }
        if (row == nullptr) {
            line.error = "unknown option " + arg;
        } else if (row->immediate != 0) {
            if (line.immediate == 0) line.immediate = row->immediate;
        } else {
            line.action = row->action;
        }
    }
    return line;
}
