// Every command a client may send, with its access rule (who may use it, in which state,
// on what) and its handler. Refusals come in one order for every command: the states the
// rule asks for, checked here before the handler runs; then the handler's parameters, in
// the order it reads them; then the rule's channel check (CommandContext::Permitted), at
// the point of the handler's own checks of rights; then the operation's own refusals.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_COMMANDTABLE_H
#define QUORVANE_SERVER_COMMANDTABLE_H

#include <cstddef>
#include <string>

#include "server/AccessPolicy.h"
#include "server/CommandParts.h"
#include "server/CommandRunner.h"

namespace quorvane {
namespace server {

class CommandContext;
class ServerUser;

class CommandTable : public CommandRunner {
public:
    typedef void (*Handler)(CommandContext& command);

    struct Entry {
        const char* word;
        AccessPolicy::Rule access;
        Handler handler;
        // Touches nothing but the sender and costs the same on any server: handled on
        // the read that brought it, ahead of other clients' queued commands.
        bool answersOnRead;
        // A refusal is answered as the command's own rejection ("filerejected").
        bool rejectsAsFile;
    };

    // The handlers run with these parts.
    explicit CommandTable(const CommandParts& parts) : parts_(parts) {}

    // Parses the line (its line ending included), applies the command's access rule and
    // runs its handler; answers syntax errors and unknown commands.
    void Run(ServerUser& user, const std::string& line, bool& keepOpen) override;
    // Whether the command of buffer[start, end) answers on the read that brought it.
    bool AnswersOnRead(const std::string& buffer, size_t start, size_t end) const override;
    // The entry for the word, ignoring letter case; null when none.
    static const Entry* Find(const std::string& word);
    // The entries in table order (their index counts the command in the statistics).
    static size_t Count();
    static const Entry& At(size_t index);

private:
    const CommandParts parts_;
};

}  // namespace server
}  // namespace quorvane

#endif
