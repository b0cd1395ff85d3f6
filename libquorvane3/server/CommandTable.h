// Every command a client may send, with who may send it and in which state, and its
// handler. The state requirements of a command are checked once, here, before its
// handler runs; a command that fails one is answered with that requirement's error.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_COMMANDTABLE_H
#define QUORVANE_SERVER_COMMANDTABLE_H

#include <cstddef>
#include <string>

namespace quorvane {
namespace server {

class CommandContext;
class ServerUser;

class CommandTable {
public:
    // What the sender must be for the command to run, each with the error it answers.
    enum Requirement {
        NONE = 0,
        LOGGED_IN,          // 301: logged in, as a user or as the administrator
        NOT_LOGGED_IN,      // 300: not logged in yet
        NOT_ADMIN,          // 206: not the administrator (a command of users)
        ADMIN,              // 205: the administrator
        VOICE_HELLO,        // 302: its voice hello has arrived
    };
    typedef void (*Handler)(CommandContext& command);

    struct Entry {
        const char* word;
        Requirement requires[3];
        Handler handler;
        // Touches nothing but the sender and costs the same on any server: handled on
        // the read that brought it, ahead of other clients' queued commands.
        bool answersOnRead;
    };

    // Parses the line (its line ending included), checks the command's requirements and
    // runs its handler; answers syntax errors and unknown commands.
    static void Dispatch(ServerUser& user, const std::string& line, bool& keepOpen);
    // Whether the command of buffer[start, end) answers on the read that brought it.
    static bool AnswersOnRead(const std::string& buffer, size_t start, size_t end);
    // The entry for the word, ignoring letter case; null when none.
    static const Entry* Find(const std::string& word);

private:
    static bool Allows(const Entry& entry, ServerUser& user);
};

}  // namespace server
}  // namespace quorvane

#endif
