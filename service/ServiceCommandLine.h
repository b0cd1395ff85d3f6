// The wrapper's command line, read whole before anything runs: which option acts at
// once, which service action was chosen last, or why the line is refused.
//
// Threads: the main thread, once, before anything else runs.
#ifndef QUORVANE_SERVICE_SERVICECOMMANDLINE_H
#define QUORVANE_SERVICE_SERVICECOMMANDLINE_H

#include <string>

struct ServiceCommandLine {
    enum Action { ACTION_NONE, ACTION_INSTALL, ACTION_REMOVE, ACTION_END, ACTION_START };
    // The options, for --help; "%s" stands for the program's name.
    static const char* const USAGE;

    // 'h' help, 'v' version, 'c' check, 'd' console run, 'f' quiet run; 0 none
    char immediate = 0;
    Action action = ACTION_NONE;
    std::string checkFile;      // --check's FILE; empty: the file the server would use
    std::string dataDirectory;  // --data-dir's DIR; empty when not given
    std::string error;          // why the command line is refused; empty when it is sound
};

// Reads every argument: options start with "-" or "/"; the first of --help, -h, -?,
// --version, --check, -d and -f wins, else the last of -i -u -e -s. -l and -p take the
// rest of the argument or the next one, into account and password; --data-dir takes
// "=DIR" or the next argument, --check "=FILE" or the next argument unless that is an
// option.
ServiceCommandLine ReadCommandLine(int argc, char** argv, std::string& account, std::string& password);

// The program's name as it was started, without its directory.
std::string ProgramName(int argc, char** argv);

#endif
