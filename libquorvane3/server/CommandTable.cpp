#include "server/CommandTable.h"

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/AdminCommands.h"
#include "server/ChannelCommands.h"
#include "server/CommandContext.h"
#include "server/FileCommands.h"
#include "server/LineWriter.h"
#include "server/ServerStatistics.h"
#include "server/ServerUser.h"
#include "server/SessionCommands.h"

namespace quorvane {
namespace server {

namespace {

typedef AccessPolicy A;

// Matched in this order, ignoring letter case. Columns: the word; the access rule (the
// states, checked in order before the handler; who the sender must be for the target
// channel, checked by the handler once it has read its parameters); the handler; whether
// it answers on the read that brought it; whether a refusal is "filerejected". An
// administrator is always logged in, so LOGGED_IN alone admits users and the
// administrator alike; the administrator passes every channel rule.
// clang-format off
const CommandTable::Entry COMMANDS[] = {
    // word           states                                       who                     target
    {"quit",          {{A::ANY_STATE}, A::ANYONE, A::NO_TARGET}, &SessionCommands::Quit, false, false},
    {"login",         {{A::NOT_ADMIN, A::NOT_LOGGED_IN, A::VOICE_HELLO}, A::ANYONE, A::NO_TARGET}, &SessionCommands::Login, false, false},
    {"logout",        {{A::LOGGED_IN}, A::ANYONE, A::NO_TARGET}, &SessionCommands::Logout, false, false},
    {"changenick",    {{A::LOGGED_IN, A::NOT_ADMIN}, A::ANYONE, A::NO_TARGET}, &SessionCommands::ChangeNick, false, false},
    {"ping",          {{A::ANY_STATE}, A::ANYONE, A::NO_TARGET}, &SessionCommands::Ping, true, false},
    {"join",          {{A::LOGGED_IN, A::NOT_ADMIN}, A::ANYONE, A::NO_TARGET}, &ChannelCommands::Join, false, false},
    {"leave",         {{A::LOGGED_IN, A::NOT_ADMIN}, A::ANYONE, A::NO_TARGET}, &ChannelCommands::Leave, false, false},
    {"pwc",           {{A::LOGGED_IN}, A::ANYONE, A::NO_TARGET}, &SessionCommands::Pwc, false, false},
    {"whoami",        {{A::LOGGED_IN, A::NOT_ADMIN}, A::ANYONE, A::NO_TARGET}, &SessionCommands::WhoAmI, true, false},
    {"changestatus",  {{A::LOGGED_IN, A::NOT_ADMIN}, A::ANYONE, A::NO_TARGET}, &SessionCommands::ChangeStatus, false, false},
    {"message",       {{A::LOGGED_IN, A::NOT_ADMIN}, A::MEMBER_IF_PROTECTED, A::MESSAGE_CHANNEL}, &ChannelCommands::Message, false, false},
    {"kick",          {{A::LOGGED_IN}, A::OPERATOR, A::MEMBER_OF_OWN_CHANNEL}, &ChannelCommands::Kick, false, false},
    {"admin",         {{A::NOT_LOGGED_IN}, A::ANYONE, A::NO_TARGET}, &SessionCommands::Admin, false, false},
    {"makechannel",   {{A::LOGGED_IN, A::ADMIN}, A::ANYONE, A::NO_TARGET}, &ChannelCommands::MakeChannel, false, false},
    {"updatechannel", {{A::LOGGED_IN, A::ADMIN}, A::ANYONE, A::NO_TARGET}, &ChannelCommands::UpdateChannel, false, false},
    {"removechannel", {{A::LOGGED_IN, A::ADMIN}, A::ANYONE, A::NO_TARGET}, &ChannelCommands::RemoveChannel, false, false},
    {"moveuser",      {{A::LOGGED_IN, A::ADMIN}, A::ANYONE, A::NO_TARGET}, &ChannelCommands::MoveUser, false, false},
    {"updateserver",  {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::UpdateServer, false, false},
    {"updateadmin",   {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::UpdateAdmin, false, false},
    {"saveconfig",    {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::SaveConfig, false, false},
    {"op",            {{A::LOGGED_IN}, A::OPERATOR_IN_CHANNEL, A::NAMED_CHANNEL}, &ChannelCommands::Op, false, false},
    {"ban",           {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::Ban, false, false},
    {"unban",         {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::Unban, false, false},
    {"listbans",      {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::ListBans, false, false},
    {"regsendfile",   {{A::LOGGED_IN}, A::MEMBER_IF_PROTECTED, A::NAMED_CHANNEL}, &FileCommands::RegSendFile, false, true},
    {"regrecvfile",   {{A::LOGGED_IN}, A::MEMBER_IF_PROTECTED, A::NAMED_CHANNEL}, &FileCommands::RegRecvFile, false, true},
    {"sendfile",      {{A::NOT_LOGGED_IN}, A::ANYONE, A::NO_TARGET}, &FileCommands::SendFile, false, false},
    {"recvfile",      {{A::NOT_LOGGED_IN}, A::ANYONE, A::NO_TARGET}, &FileCommands::RecvFile, false, false},
    {"filedeliver",   {{A::ANY_STATE}, A::ANYONE, A::NO_TARGET}, &FileCommands::FileDeliver, false, false},
    {"fileshare",     {{A::LOGGED_IN}, A::ADMIN_CHANGES, A::NO_TARGET}, &FileCommands::FileShare, false, false},
    // Operators only; the store decides, after finding the channel and the file.
    {"deletefile",    {{A::LOGGED_IN}, A::ANYONE, A::NO_TARGET}, &FileCommands::DeleteFile, false, false},
    {"listusers",     {{A::ADMIN}, A::ANYONE, A::NO_TARGET}, &AdminCommands::ListUsers, false, false},
};
// clang-format on

}  // namespace

size_t CommandTable::Count() { return sizeof(COMMANDS) / sizeof(COMMANDS[0]); }

const CommandTable::Entry& CommandTable::At(size_t index) { return COMMANDS[index]; }

const CommandTable::Entry* CommandTable::Find(const std::string& word) {
    for (const Entry& entry : COMMANDS)
        if (EqualsNoCase(word, entry.word)) return &entry;
    return 0;
}

bool CommandTable::AnswersOnRead(const std::string& buffer, size_t start, size_t end) const {
    size_t wordEnd = start;
    while (wordEnd < end && buffer[wordEnd] != ' ' && buffer[wordEnd] != '\r' && buffer[wordEnd] != '\n') ++wordEnd;
    const Entry* const entry = Find(buffer.substr(start, wordEnd - start));
    return entry != 0 && entry->answersOnRead;
}

void CommandTable::Run(ServerUser& user, const std::string& line, bool& keepOpen) {
    if (line.size() < 2) return;  // a lone LF
    const std::string text = StripLineEnding(line);
    std::string word;
    ExtractCommand(text, word);
    if (!EqualsNoCase(word, "ping")) user.NoteActivity();
    if (HasSyntaxError(text)) {
        user.SendError(ERR_SYNTAX_ERROR);
        return;
    }
    const Entry* const entry = Find(word);
    parts_.statistics.CountCommand(entry ? static_cast<size_t>(entry - COMMANDS) : ServerStatistics::MAX_COMMANDS - 1);
    if (entry == 0) {
        user.SendError(ERR_UNKNOWN_COMMAND);
        return;
    }
    const int refusal = AccessPolicy::CheckStates(entry->access, user);
    if (refusal != ERR_SUCCESS) {
        user.SendError(refusal);
        return;
    }
    CommandContext command(parts_, user, text, keepOpen, entry->access, entry->rejectsAsFile);
    entry->handler(command);
}

}  // namespace server
}  // namespace quorvane
