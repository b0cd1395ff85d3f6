#include "server/CommandTable.h"

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/AdminCommands.h"
#include "server/ChannelCommands.h"
#include "server/CommandContext.h"
#include "server/FileCommands.h"
#include "server/ServerUser.h"
#include "server/SessionCommands.h"

namespace quorvane {
namespace server {

namespace {

typedef CommandTable T;

// Matched in this order, ignoring letter case. An administrator is always logged in, so
// LOGGED_IN alone admits users and the administrator alike.
const CommandTable::Entry COMMANDS[] = {
    {"quit", {T::NONE}, &SessionCommands::Quit, false},
    {"login", {T::NOT_ADMIN, T::NOT_LOGGED_IN, T::VOICE_HELLO}, &SessionCommands::Login, false},
    {"logout", {T::LOGGED_IN}, &SessionCommands::Logout, false},
    {"changenick", {T::LOGGED_IN, T::NOT_ADMIN}, &SessionCommands::ChangeNick, false},
    {"ping", {T::NONE}, &SessionCommands::Ping, true},
    {"join", {T::LOGGED_IN, T::NOT_ADMIN}, &ChannelCommands::Join, false},
    {"leave", {T::LOGGED_IN, T::NOT_ADMIN}, &ChannelCommands::Leave, false},
    {"pwc", {T::LOGGED_IN}, &SessionCommands::Pwc, false},
    {"whoami", {T::LOGGED_IN, T::NOT_ADMIN}, &SessionCommands::WhoAmI, true},
    {"changestatus", {T::LOGGED_IN, T::NOT_ADMIN}, &SessionCommands::ChangeStatus, false},
    {"message", {T::LOGGED_IN, T::NOT_ADMIN}, &ChannelCommands::Message, false},
    {"kick", {T::LOGGED_IN}, &ChannelCommands::Kick, false},
    {"admin", {T::NOT_LOGGED_IN}, &SessionCommands::Admin, false},
    {"makechannel", {T::LOGGED_IN, T::ADMIN}, &ChannelCommands::MakeChannel, false},
    {"updatechannel", {T::LOGGED_IN, T::ADMIN}, &ChannelCommands::UpdateChannel, false},
    {"removechannel", {T::LOGGED_IN, T::ADMIN}, &ChannelCommands::RemoveChannel, false},
    {"moveuser", {T::LOGGED_IN, T::ADMIN}, &ChannelCommands::MoveUser, false},
    {"updateserver", {T::ADMIN}, &AdminCommands::UpdateServer, false},
    {"updateadmin", {T::ADMIN}, &AdminCommands::UpdateAdmin, false},
    {"saveconfig", {T::ADMIN}, &AdminCommands::SaveConfig, false},
    {"op", {T::LOGGED_IN}, &ChannelCommands::Op, false},
    {"ban", {T::ADMIN}, &AdminCommands::Ban, false},
    {"unban", {T::ADMIN}, &AdminCommands::Unban, false},
    {"listbans", {T::ADMIN}, &AdminCommands::ListBans, false},
    {"regsendfile", {T::LOGGED_IN}, &FileCommands::RegSendFile, false},
    {"regrecvfile", {T::LOGGED_IN}, &FileCommands::RegRecvFile, false},
    {"sendfile", {T::NOT_LOGGED_IN}, &FileCommands::SendFile, false},
    {"recvfile", {T::NOT_LOGGED_IN}, &FileCommands::RecvFile, false},
    {"filedeliver", {T::NONE}, &FileCommands::FileDeliver, false},
    {"fileshare", {T::LOGGED_IN}, &FileCommands::FileShare, false},
    {"deletefile", {T::LOGGED_IN}, &FileCommands::DeleteFile, false},
};

// The error a requirement answers when the user does not meet it; success when it does.
int Check(CommandTable::Requirement requirement, const ServerUser& user) {
    switch (requirement) {
    case T::LOGGED_IN: return user.IsLoggedIn() ? ERR_SUCCESS : ERR_NOT_LOGGEDIN;
    case T::NOT_LOGGED_IN: return user.IsLoggedIn() ? ERR_ALREADY_LOGGEDIN : ERR_SUCCESS;
    case T::NOT_ADMIN: return user.IsAdmin() ? ERR_REQUIRES_USER_LOGON : ERR_SUCCESS;
    case T::ADMIN: return user.IsAdmin() ? ERR_SUCCESS : ERR_NOT_ADMIN;
    case T::VOICE_HELLO: return user.IsUdpConnected() ? ERR_SUCCESS : ERR_NOT_UDPCONNECTED;
    case T::NONE: break;
    }
    return ERR_SUCCESS;
}

}  // namespace

const CommandTable::Entry* CommandTable::Find(const std::string& word) {
    for (const Entry& entry : COMMANDS)
        if (EqualsNoCase(word, entry.word)) return &entry;
    return 0;
}

bool CommandTable::AnswersOnRead(const std::string& buffer, size_t start, size_t end) {
    size_t wordEnd = start;
    while (wordEnd < end && buffer[wordEnd] != ' ' && buffer[wordEnd] != '\r' && buffer[wordEnd] != '\n') ++wordEnd;
    const Entry* const entry = Find(buffer.substr(start, wordEnd - start));
    return entry != 0 && entry->answersOnRead;
}

bool CommandTable::Allows(const Entry& entry, ServerUser& user) {
    for (size_t i = 0; i < 3 && entry.requires[i] != NONE; ++i) {
        const int error = Check(entry.requires[i], user);
        if (error != ERR_SUCCESS) {
            user.SendError(error);
            return false;
        }
    }
    return true;
}

void CommandTable::Dispatch(ServerUser& user, const std::string& line, bool& keepOpen) {
    if (line.size() < 2) return;  // a lone LF
    const std::string text = StripLineEnding(line);
    std::string word;
    ExtractCommand(text, word);
    if (HasSyntaxError(text)) {
        user.SendError(ERR_SYNTAX_ERROR);
        return;
    }
    const Entry* const entry = Find(word);
    if (entry == 0) {
        user.SendError(ERR_UNKNOWN_COMMAND);
        return;
    }
    if (!Allows(*entry, user)) return;
    CommandContext command(user, text, keepOpen);
    entry->handler(command);
}

}  // namespace server
}  // namespace quorvane
