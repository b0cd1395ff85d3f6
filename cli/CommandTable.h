// The commands a person or a script types, in plain words, and the protocol line each
// becomes. One table holds every command's word, argument shape and line builder; the
// argument count is checked once, in one place, before a builder runs.
#ifndef QUORVANE_CLI_COMMANDTABLE_H
#define QUORVANE_CLI_COMMANDTABLE_H

#include <functional>
#include <string>
#include <vector>

#include "ChannelTree.h"

namespace quorvane {
namespace cli {

// What a typed command asks the client to do.
enum class Action { NOTHING, SERVER, TREE, HELP, QUIT, UPLOAD, DOWNLOAD };

// What the command shows beyond its confirmation: the rows of the bans, the connections
// or the statistics, or the files already in a channel just joined.
enum class ResultKind { NONE, BANS, STATS, FILES, USERS };

// The server's lines that repeat to the sender what its own command did ("addchannel"
// after mkchan): at the prompt they are held back while the command runs, as its
// confirmation says it once.
struct Echo {
    std::vector<std::string> words;
    std::string channel;  // only lines about this channel or one below it
    int userId = 0;       // only lines about this user (userid, or from for messages)

    bool Matches(const std::string& line) const;
};

struct Request {
    Action action = Action::NOTHING;
    std::string line;  // SERVER: the protocol line, CR LF included
    ResultKind result = ResultKind::NONE;
    std::string localPath;     // UPLOAD, DOWNLOAD
    std::string remoteName;    // UPLOAD, DOWNLOAD; HELP: the command asked about
    std::string channel;       // UPLOAD, DOWNLOAD
    bool force = false;        // DOWNLOAD: an existing local file may be replaced
    std::string confirmation;  // said at the prompt once the command succeeded
    Echo echo;
};

// What the builders may read: the client's view of the server, and a way to get a
// secret (a new password) from the person or the environment.
struct CommandContext {
    const ChannelTree& tree;
    std::function<bool(const std::string& prompt, std::string& secret)> askSecret;
};

// What an argument names, for completion.
enum class ArgKind { NONE, CHANNEL, USER, REMOTE_FILE, LOCAL_FILE, COMMAND };

// A typed command split into words; words may be quoted with "..." (backslash escapes
// inside) or '...'. rest[i] is the raw text from word i to the end of the line.
struct Words {
    std::vector<std::string> words;
    std::vector<std::string> rest;
};
bool SplitWords(const std::string& text, Words& out, std::string& error);

// Turns a typed command into a request; false with a message when it cannot.
bool BuildRequest(const std::string& text, const CommandContext& context, Request& request, std::string& error);

// Whether a typed line holds a password (join with one, server, admin, password=...):
// such lines are kept out of the history.
bool HoldsSecret(const std::string& text);

// For help and completion.
std::vector<std::string> CommandWords();
std::string CommandHelp(const std::string& word);  // all commands when word is empty
ArgKind ArgumentKind(const std::string& word, size_t index);

}  // namespace cli
}  // namespace quorvane

#endif
