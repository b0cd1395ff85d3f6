// One command line being handled for a user: its parameters read with the checks every
// command shares (a missing, malformed or unacceptable parameter answers the
// parameter's error), and the answer of the node's operation.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_COMMANDCONTEXT_H
#define QUORVANE_SERVER_COMMANDCONTEXT_H

#include <cstdint>
#include <string>

namespace quorvane {
namespace server {

class ServerNode;
class ServerUser;

class CommandContext {
public:
    CommandContext(ServerUser& user, const std::string& line, bool& keepOpen)
        : user(user), line(line), keepOpen(keepOpen) {}

    // The user's node; commands run only for users of a node.
    ServerNode& Node() const;

    // Each reader sends the error and answers false when the parameter is missing or
    // not acceptable; out is then left as it is or cleared.
    bool RequireString(const char* name, int error, std::string& out);
    // An absent optional text reads as empty; an unacceptable one is refused.
    bool OptionalString(const char* name, int error, std::string& out);
    bool RequireInt(const char* name, int error, int& out);
    bool RequireInt64(const char* name, int error, int64_t& out);
    bool RequireBool(const char* name, int error, bool& out);
    // An absent or malformed 64-bit value reads as 0.
    int64_t OptionalInt64(const char* name) const;
    // Sends the error line unless the code is success; answers whether it was success.
    bool Succeeded(int code);

    ServerUser& user;
    const std::string& line;  // without its line ending
    bool& keepOpen;
};

}  // namespace server
}  // namespace quorvane

#endif
