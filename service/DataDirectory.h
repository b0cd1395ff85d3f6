// Where the server keeps its files (settings, ban list, files list, event log, a relative
// files root), in this order: the directory of --data-dir; systemd's state directory
// ($STATE_DIRECTORY, StateDirectory=); the program's own directory, unless the program
// lies under /usr, where nothing is written beside it: there the package's state directory
// when this is the package's program and the directory exists, else nothing (the run is
// refused with how to run it).
//
// Threads: the host's thread, before the server runs; the check's process.
#ifndef QUORVANE_SERVICE_DATADIRECTORY_H
#define QUORVANE_SERVICE_DATADIRECTORY_H

#include <string>

class DataDirectory {
public:
    // The package's state directory, which a packaged program run by hand uses; null in
    // a build that is not the package's.
    static const char* const PACKAGED;

    // given: --data-dir's value, empty when none was given. forRun: the server is to run
    // and write there (not only read a file): then the package's state directory, found
    // without being given, is refused unless this process's user owns it, so that a run
    // by hand as root leaves no file the service's user cannot read. True with the
    // directory (absolute, without a trailing "/"); false with why and how to run instead.
    static bool Find(const std::string& given, bool forRun, std::string& directory, std::string& refusal);
    // Where the program lies: the executable's directory ("." when it cannot be read).
    static std::string OfProgram();
};

#endif
