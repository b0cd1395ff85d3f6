// What a connection's reader hands its command lines to: CommandTable implements it with
// the server's parts, so that the reader and the user know no command or part.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_COMMANDRUNNER_H
#define QUORVANE_SERVER_COMMANDRUNNER_H

#include <cstddef>
#include <string>

namespace quorvane {
namespace server {

class ServerUser;

class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Whether the command of buffer[start, end) answers on the read that brought it.
    virtual bool AnswersOnRead(const std::string& buffer, size_t start, size_t end) const = 0;
    // Runs one line (its line ending included) for the user; clears keepOpen on quit.
    virtual void Run(ServerUser& user, const std::string& line, bool& keepOpen) = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
