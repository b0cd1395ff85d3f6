// One command line being handled for a user: its parameters read with the checks every
// command shares (a missing, malformed or unacceptable parameter answers the
// parameter's error), the parts the handler may use, and the answer of their operation.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_COMMANDCONTEXT_H
#define QUORVANE_SERVER_COMMANDCONTEXT_H

#include <cstdint>
#include <string>

#include "server/AccessPolicy.h"
#include "server/CommandParts.h"

namespace quorvane {
namespace server {

class CommandContext {
public:
    CommandContext(const CommandParts& serverParts, ServerUser& sender, const std::string& text, bool& open,
                   const AccessPolicy::Rule& rule, bool rejectsAsFile)
        : parts(serverParts), user(sender), line(text), keepOpen(open), rule_(rule), rejectsAsFile_(rejectsAsFile) {}

    // Each reader sends the error and answers false when the parameter is missing or
    // not acceptable; out is then left as it is or cleared.
    bool RequireString(const char* name, int error, std::string& out);
    // An absent optional text reads as empty; an unacceptable one is refused.
    bool OptionalString(const char* name, int error, std::string& out);
    // Numbers must be numbers within their type's range and within the range the
    // server's rules give the parameter (ValueRules: a quota is not negative, say).
    bool RequireInt(const char* name, int error, int& out);
    bool RequireInt64(const char* name, int error, int64_t& out);
    bool RequireBool(const char* name, int error, bool& out);
    // An absent 64-bit value reads as 0; a present one must be acceptable as above.
    bool OptionalInt64(const char* name, int error, int64_t& out);
    // Sends the error line unless the code is success; answers whether it was success.
    bool Succeeded(int code);
    // The command's rule for the channel it acts on (AccessPolicy::CheckChannel). A
    // handler asks once it has read its parameters, where a refusal of rights comes in
    // the order of its checks; a refusal is sent (as "filerejected" for a file
    // registration) and false answered.
    bool Permitted();
    // The access rule lets the sender change what it asks for (else it only reads).
    bool MayChange() const { return AccessPolicy::MayChange(rule_, user); }

    const CommandParts& parts;
    ServerUser& user;
    const std::string& line;  // without its line ending
    bool& keepOpen;

private:
    const AccessPolicy::Rule& rule_;
    const bool rejectsAsFile_;
};

}  // namespace server
}  // namespace quorvane

#endif
