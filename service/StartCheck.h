// quorvane-server --check: a settings file checked as a start would check it, without
// starting anything or writing a file. The file is read and every value checked as at
// start-up (HostSettings); the values go to a server node that never starts
// (SettingHooks), and the static channels are made in it, so that a name taken twice or
// the channel limit shows; the files root and the event log are looked at as the start
// would use them; and, unless the running service holds them, the ports and the metrics
// address are bound once and let go.
//
// What would stop the start is an error. What the start would only report (an unknown
// element, a static channel it skips, a files root it cannot write, an event log it
// cannot open) is a warning, and so is a port or metrics address in use now: the check
// runs before a restart too, while the old server still holds them.
//
// Threads: the main thread of a short-lived process.
#ifndef QUORVANE_SERVICE_STARTCHECK_H
#define QUORVANE_SERVICE_STARTCHECK_H

#include <string>
#include <vector>

namespace quorvane {
class QuorvaneSettings;
}

class StartCheck {
public:
    struct Finding {
        bool error;        // the start would stop; else a warning
        std::string text;  // as the start would say it, with the file and line
    };
    typedef std::vector<Finding> Findings;

    // Checks the document (read already; its file name is the one told). dataDirectory:
    // where a relative files root and the event log lie, empty when unknown (they are
    // then not looked at). probe: bind the ports and the metrics address once.
    static Findings Run(quorvane::QuorvaneSettings& document, const std::string& dataDirectory, bool probe);

    // Reads and checks the file at path, prints each finding on standard error (warnings
    // as "Warning: ...") and the verdict on standard output, and answers the exit status:
    // 0 when the server would start from it, 2 when not. A missing file is an error unless
    // missingIsFine (the server's own file: the first start writes the defaults, which are
    // checked then).
    static int Main(const std::string& path, bool missingIsFine, const std::string& dataDirectory, bool probe);
};

#endif
