#include "ServiceCommandLine.h"

#include <cstring>

// Written for help2man too: "Usage:", the options indented, notes after them.
const char* const ServiceCommandLine::USAGE =
    "Usage: %s [-d | -f | --check [FILE] | -i [-l USER] | -u | -s | -e] [--data-dir DIR]\n"
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
    "  --check [FILE] check a settings file as a start would (every value, every\n"
    "                 static channel, the ports), print each problem with its line,\n"
    "                 and exit 0 when the server would start from it, 2 when not;\n"
    "                 without FILE, the settings file of the data directory\n"
    "  --data-dir DIR keep the settings, ban list, files list and event log in DIR;\n"
    "                 with -i, the installed service's\n"
    "  -i             install the systemd service quorvane-server for this program\n"
    "                 and enable it\n"
    "  -l USER        with -i: run the service as this user, who must exist and be\n"
    "                 able to write its data directory\n"
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

// The value of -l or -p (prefix 2) or of a long option ("=VALUE" after it): the rest of
// the argument, else the next argument (which is then consumed), which unless required
// must not look like an option. False when there is none.
bool TakeOptionValue(int argc, char** argv, int& index, size_t prefix, std::string& value, bool required = true) {
    const std::string arg = argv[index];
    if (arg.size() > prefix) {
        value = arg.substr(prefix + (prefix > 2 && arg[prefix] == '=' ? 1 : 0));
        return !value.empty();
    }
    const char* next = index + 1 < argc ? argv[index + 1] : nullptr;
    // "/d" is an option; "/etc/x.xml" is a file.
    const bool option = next != nullptr && (next[0] == '-' || (next[0] == '/' && std::strlen(next) == 2));
    if (next == nullptr || (!required && option)) return false;
    value = argv[++index];
    return true;
}

// A long option alone or with "=VALUE".
bool IsLong(const std::string& arg, const char* name) {
    const size_t length = std::strlen(name);
    return arg.compare(0, length, name) == 0 && (arg.size() == length || arg[length] == '=');
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
        if (IsLong(arg, "--check")) {
            if (line.immediate == 0) line.immediate = 'c';
            if (!TakeOptionValue(argc, argv, i, 7, line.checkFile, false) && arg.size() > 7)
                line.error = "option --check= needs a file";
            continue;
        }
        if (IsLong(arg, "--data-dir")) {
            if (!TakeOptionValue(argc, argv, i, 10, line.dataDirectory)) line.error = "option --data-dir needs a value";
            continue;
        }
        if (arg[1] == 'l' || arg[1] == 'p') {
            if (!TakeOptionValue(argc, argv, i, 2, arg[1] == 'l' ? account : password)) {
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
