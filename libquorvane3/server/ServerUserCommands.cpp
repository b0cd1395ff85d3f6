// ServerUser: the command table and the handlers of the commands a client sends.
// The state tests of every command run once, in ProcessCommand, before its handler.
#include <cstdint>
#include <cstring>

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/ServerChannel.h"
#include "server/ServerNode.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

namespace {

// One rule of a command's state test: the condition that refuses, and its error.
enum StateRule {
    RULE_END = 0,
    RULE_ADMIN_206,       // logged in as administrator
    RULE_LOGGEDIN_300,    // logged in (user or administrator)
    RULE_NOT_LOGGEDIN_301,
    RULE_NOT_UDP_302,     // no UDP hello yet
    RULE_NOT_ADMIN_205,
};
// The longest value each text parameter may have, in bytes: what the persistence files
// keep for names, passwords and topics, and a screenful for a message. Channel paths are
// capped per name; the line's own cap bounds how many names there are.
struct TextCap {
    const char* name;
    size_t limit;
    bool perName;  // a channel path: each name between slashes
};

const TextCap TEXT_CAPS[] = {
    {"nickname", 511, false},    {"topic", 511, false},         {"password", 511, false},
    {"serverpassword", 511, false}, {"statusmessage", 511, false}, {"filename", 511, false},
    {"content", 8192, false},    {"channel", 511, true},        {"srcchannel", 511, true},
    {"destchannel", 511, true},
};

bool WithinCap(const char* name, const std::string& value) {
    for (const TextCap& cap : TEXT_CAPS) {
        if (std::strcmp(cap.name, name) != 0) continue;
        if (!cap.perName) return value.size() <= cap.limit;
        size_t start = 0;
        for (;;) {
            const size_t slash = value.find('/', start);
            const size_t end = slash == std::string::npos ? value.size() : slash;
            if (end - start > cap.limit) return false;
            if (slash == std::string::npos) return true;
            start = slash + 1;
        }
    }
    return true;
}

// A text with a NUL byte can be neither stored nor shown whole, and one past its cap
// would not survive a save: both are refused like a missing one.
bool Acceptable(const char* name, const std::string& value) {
    return value.find('\0') == std::string::npos && WithinCap(name, value);
}

int64_t OptionalInt64(const std::string& line, const char* name) {
    int64_t value = 0;
    GetInt64Param(line, name, value);
    return value;
}

}  // namespace

struct ServerUser::Command {
    const char* word;
    StateRule rules[3];
    Handler handler;
    // Touches nothing but the sender and costs the same on any server: handled on the
    // read that brought it, ahead of other clients' queued commands.
    bool answersOnRead = false;
};

// Matched in this order, ignoring letter case.
const ServerUser::Command ServerUser::COMMANDS[] = {
    {"quit", {RULE_END}, &ServerUser::HandleQuit},
    {"login", {RULE_ADMIN_206, RULE_LOGGEDIN_300, RULE_NOT_UDP_302}, &ServerUser::HandleLogin},
    {"logout", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleLogout},
    {"changenick", {RULE_NOT_LOGGEDIN_301, RULE_ADMIN_206}, &ServerUser::HandleChangeNick},
    {"ping", {RULE_END}, &ServerUser::HandlePing, true},
    {"join", {RULE_NOT_LOGGEDIN_301, RULE_ADMIN_206}, &ServerUser::HandleJoin},
    {"leave", {RULE_NOT_LOGGEDIN_301, RULE_ADMIN_206}, &ServerUser::HandleLeave},
    {"pwc", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandlePwc},
    {"whoami", {RULE_NOT_LOGGEDIN_301, RULE_ADMIN_206}, &ServerUser::HandleWhoAmI, true},
    {"changestatus", {RULE_NOT_LOGGEDIN_301, RULE_ADMIN_206}, &ServerUser::HandleChangeStatus},
    {"message", {RULE_NOT_LOGGEDIN_301, RULE_ADMIN_206}, &ServerUser::HandleMessage},
    {"kick", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleKick},
    {"admin", {RULE_LOGGEDIN_300}, &ServerUser::HandleAdmin},
    {"makechannel", {RULE_NOT_LOGGEDIN_301, RULE_NOT_ADMIN_205}, &ServerUser::HandleMakeChannel},
    {"updatechannel", {RULE_NOT_LOGGEDIN_301, RULE_NOT_ADMIN_205}, &ServerUser::HandleUpdateChannel},
    {"removechannel", {RULE_NOT_LOGGEDIN_301, RULE_NOT_ADMIN_205}, &ServerUser::HandleRemoveChannel},
    {"moveuser", {RULE_NOT_LOGGEDIN_301, RULE_NOT_ADMIN_205}, &ServerUser::HandleMoveUser},
    {"updateserver", {RULE_NOT_ADMIN_205}, &ServerUser::HandleUpdateServer},
    {"updateadmin", {RULE_NOT_ADMIN_205}, &ServerUser::HandleUpdateAdmin},
    {"saveconfig", {RULE_NOT_ADMIN_205}, &ServerUser::HandleSaveConfig},
    {"op", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleOp},
    {"ban", {RULE_NOT_ADMIN_205}, &ServerUser::HandleBan},
    {"unban", {RULE_NOT_ADMIN_205}, &ServerUser::HandleUnban},
    {"listbans", {RULE_NOT_ADMIN_205}, &ServerUser::HandleListBans},
    // An administrator is always logged in, so "neither user nor admin" is "not logged in".
    {"regsendfile", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleRegSendFile},
    {"regrecvfile", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleRegRecvFile},
    {"sendfile", {RULE_LOGGEDIN_300}, &ServerUser::HandleSendFile},
    {"recvfile", {RULE_LOGGEDIN_300}, &ServerUser::HandleRecvFile},
    {"filedeliver", {RULE_END}, &ServerUser::HandleFileDeliver},
    {"fileshare", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleFileShare},
    {"deletefile", {RULE_NOT_LOGGEDIN_301}, &ServerUser::HandleDeleteFile},
};

bool ServerUser::AnswersOnRead(const std::string& buffer, size_t start, size_t end) {
    size_t wordEnd = start;
    while (wordEnd < end && buffer[wordEnd] != ' ' && buffer[wordEnd] != '\r' && buffer[wordEnd] != '\n') ++wordEnd;
    const Command* const command = FindCommand(buffer.substr(start, wordEnd - start));
    return command != 0 && command->answersOnRead;
}

const ServerUser::Command* ServerUser::FindCommand(const std::string& word) {
    for (const Command& command : COMMANDS)
        if (EqualsNoCase(word, command.word)) return &command;
    return 0;
}

void ServerUser::ProcessCommand(const std::string& line, bool& keepOpen) {
    if (line.size() < 2) return;  // a lone LF
    const std::string text = StripLineEnding(line);
    std::string word;
    ExtractCommand(text, word);
    if (HasSyntaxError(text)) {
        SendError(ERR_SYNTAX_ERROR);
        return;
    }
    const Command* const command = FindCommand(word);
    if (command == 0) {
        SendError(ERR_UNKNOWN_COMMAND);
        return;
    }
    if (PassesStateTest(*command)) {
        const Handler handler = command->handler;
        (this->*handler)(text, keepOpen);
    }
}

bool ServerUser::PassesStateTest(const Command& command) {
    for (size_t i = 0; i < 3 && command.rules[i] != RULE_END; ++i) {
        int error = ERR_SUCCESS;
        switch (command.rules[i]) {
        case RULE_ADMIN_206: if (admin_) error = ERR_REQUIRES_USER_LOGON; break;
        case RULE_LOGGEDIN_300: if (loggedIn_) error = ERR_ALREADY_LOGGEDIN; break;
        case RULE_NOT_LOGGEDIN_301: if (!loggedIn_) error = ERR_NOT_LOGGEDIN; break;
        case RULE_NOT_UDP_302: if (!IsUdpConnected()) error = ERR_NOT_UDPCONNECTED; break;
        case RULE_NOT_ADMIN_205: if (!admin_) error = ERR_NOT_ADMIN; break;
        case RULE_END: break;
        }
        if (error != ERR_SUCCESS) {
            SendError(error);
            return false;
        }
    }
    return true;
}

bool ServerUser::RequireString(const std::string& line, const char* name, int error, std::string& out) {
    if (GetStringParam(line, name, out) && Acceptable(name, out)) return true;
    SendError(error);
    return false;
}

bool ServerUser::OptionalString(const std::string& line, const char* name, int error, std::string& out) {
    out.clear();
    if (!GetStringParam(line, name, out) || Acceptable(name, out)) return true;
    SendError(error);
    return false;
}

bool ServerUser::RequireInt(const std::string& line, const char* name, int error, int& out) {
    if (GetIntParam(line, name, out)) return true;
    SendError(error);
    return false;
}

bool ServerUser::RequireBool(const std::string& line, const char* name, int error, bool& out) {
    if (GetBoolParam(line, name, out)) return true;
    SendError(error);
    return false;
}

bool ServerUser::Succeeded(int code) {
    if (code == ERR_SUCCESS) return true;
    SendError(code);
    return false;
}

void ServerUser::HandleQuit(const std::string&, bool& keepOpen) { keepOpen = false; }

void ServerUser::HandleLogin(const std::string& line, bool&) {
    // Each value is stored as soon as it is read; a later failure keeps the earlier ones.
    std::string text;
    int number = 0;
    if (!RequireString(line, "protocol", ERR_MISSING_PROTOCOL, text)) return;
    SetClientProtocol(text);
    if (!RequireString(line, "nickname", ERR_MISSING_NICKNAME, text)) return;
    SetNickname(text);
    std::string password;
    if (!RequireString(line, "serverpassword", ERR_MISSING_PASSWORD, password)) return;
    if (!RequireInt(line, "bandmode", ERR_MISSING_BANDMODE, number)) return;
    SetBandMode(number);
    if (!RequireInt(line, "framesize", ERR_MISSING_FRAMESIZE, number)) return;
    SetFrameSize(number);
    if (!RequireInt(line, "encodedframesize", ERR_MISSING_ENCODEDFRAMESIZE, number)) return;
    SetEncodedFrameSize(number);
    if (!RequireInt(line, "fpp", ERR_MISSING_FPP, number)) return;
    SetFramesPerPacket(number);
    if (!RequireString(line, "version", ERR_MISSING_VERSION, text)) return;
    SetVersion(text);
    if (Succeeded(owner_->UserLogin(GetUserID(), password))) SendDone();
}

void ServerUser::HandleLogout(const std::string&, bool&) { Succeeded(owner_->UserLogout(GetUserID())); }

void ServerUser::HandleChangeNick(const std::string& line, bool&) {
    std::string nickname;
    if (!RequireString(line, "nickname", ERR_MISSING_NICKNAME, nickname)) return;
    SetNickname(nickname);
    Succeeded(owner_->UserUpdate(GetUserID()));
}

void ServerUser::HandlePing(const std::string&, bool&) {
    inactiveSeconds_ = 0;
    SendPong();
}

void ServerUser::HandleJoin(const std::string& line, bool&) {
    std::string channel;
    std::string password, topic;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, channel)) return;
    if (!OptionalString(line, "password", ERR_MISSING_PASSWORD, password)) return;
    if (!OptionalString(line, "topic", ERR_MISSING_TOPIC, topic)) return;
    Succeeded(owner_->UserJoinChannel(GetUserID(), channel, password, topic));
}

void ServerUser::HandleLeave(const std::string&, bool&) {
    const serverchannel_t channel = GetChannel();
    if (!channel) {
        SendError(ERR_USER_NOT_FOUND);
        return;
    }
    Succeeded(owner_->UserLeaveChannel(channel->GetChannelPath(), GetUserID()));
}

void ServerUser::HandlePwc(const std::string&, bool&) { SendPwc(); }

void ServerUser::HandleWhoAmI(const std::string&, bool&) { SendYouAre(); }

void ServerUser::HandleChangeStatus(const std::string& line, bool&) {
    int mode = 0;
    if (!RequireInt(line, "statusmode", ERR_MISSING_STATUSMODE, mode)) return;
    SetStatusMode(mode);
    std::string message;
    if (!RequireString(line, "statusmessage", ERR_MISSING_TEXT, message)) return;
    SetStatusMessage(message);
    Succeeded(owner_->UserUpdate(GetUserID()));
}

void ServerUser::HandleKick(const std::string& line, bool&) {
    int target = 0;
    if (!RequireInt(line, "userid", ERR_MISSING_USERID, target)) return;
    if (!admin_) {
        const serverchannel_t channel = GetChannel();
        if (!channel || !channel->UserExists(target) || target == GetUserID()) {
            SendError(ERR_USER_NOT_FOUND);
            return;
        }
        if (!channel->IsOperator(GetUserID())) {
            SendError(ERR_NOT_AUTHORIZED);
            return;
        }
    }
    Succeeded(owner_->UserKick(target));
}

void ServerUser::HandleMakeChannel(const std::string& line, bool&) {
    std::string channel;
    std::string password, topic;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, channel)) return;
    if (!OptionalString(line, "password", ERR_MISSING_PASSWORD, password)) return;
    if (!OptionalString(line, "topic", ERR_MISSING_TOPIC, topic)) return;
    Succeeded(owner_->UserMakeChannel(channel, password, topic,
                                      true, OptionalInt64(line, "diskquota")));
}

void ServerUser::HandleUpdateChannel(const std::string& line, bool&) {
    std::string channel, password, topic;
    bool isStatic = false;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, channel)) return;
    if (!RequireString(line, "password", ERR_MISSING_PASSWORD, password)) return;
    if (!RequireString(line, "topic", ERR_MISSING_TOPIC, topic)) return;
    if (!RequireBool(line, "static", ERR_MISSING_STATIC, isStatic)) return;
    Succeeded(owner_->UserUpdateChannel(channel, password, topic, isStatic, OptionalInt64(line, "diskquota")));
}

void ServerUser::HandleRemoveChannel(const std::string& line, bool&) {
    std::string channel;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, channel)) return;
    Succeeded(owner_->UserRemoveChannel(channel));
}

void ServerUser::HandleMoveUser(const std::string& line, bool&) {
    std::string source, destination;
    int target = 0;
    if (!RequireString(line, "srcchannel", ERR_MISSING_SRCCHANNEL, source)) return;
    if (!RequireString(line, "destchannel", ERR_MISSING_DESTCHANNEL, destination)) return;
    if (!RequireInt(line, "userid", ERR_MISSING_USERID, target)) return;
    Succeeded(owner_->UserMoveUser(target, source, destination));
}

void ServerUser::HandleOp(const std::string& line, bool&) {
    int target = 0;
    std::string path;
    if (!RequireInt(line, "userid", ERR_MISSING_USERID, target)) return;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, path)) return;
    if (!admin_) {
        const serverchannel_t channel = GetChannel();
        if (!channel || !ChannelPathsEqual(channel->GetChannelPath(), path) || !channel->IsOperator(GetUserID())) {
            SendError(ERR_NOT_AUTHORIZED);
            return;
        }
    }
    Succeeded(owner_->UserGrantOperator(path, target));
}

void ServerUser::HandleMessage(const std::string& line, bool&) {
    TextMessage message;
    if (!RequireInt(line, "type", ERR_MISSING_TYPE, message.type)) return;
    if (message.type != TEXTMSG_USER && message.type != TEXTMSG_CHANNEL) {
        SendError(ERR_MISSING_TYPE);
        return;
    }
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, message.channel)) return;
    if (message.type == TEXTMSG_USER && !RequireInt(line, "to", ERR_MISSING_TO, message.to)) return;
    if (!RequireString(line, "content", ERR_MISSING_TEXT, message.content)) return;
    const serverchannel_t channel = GetChannel();
    if (!channel) return;  // a sender in no channel is ignored
    message.from = GetUserID();
    if (message.type == TEXTMSG_CHANNEL) message.to = 0;
    if (message.channel.empty()) message.channel = channel->GetChannelPath();
    if (Succeeded(owner_->UserTextMessage(message))) SendOk();
}

void ServerUser::HandleAdmin(const std::string& line, bool&) {
    std::string username, password;
    if (!RequireString(line, "username", ERR_MISSING_USERNAME, username)) return;
    if (!RequireString(line, "password", ERR_MISSING_PASSWORD, password)) return;
    if (Succeeded(owner_->UserAdminLogin(GetUserID(), username, password))) SendDone();
}

void ServerUser::HandleUpdateServer(const std::string& line, bool&) {
    int channels = 0, operators = 0;
    std::string name, password, motd;
    if (!RequireInt(line, "channels", ERR_MISSING_CHANNELS, channels)) return;
    if (!RequireInt(line, "operators", ERR_MISSING_OPERATORS, operators)) return;
    if (!RequireString(line, "servername", ERR_MISSING_SERVERNAME, name)) return;
    if (!RequireString(line, "password", ERR_MISSING_PASSWORD, password)) return;
    if (!RequireString(line, "motd", ERR_MISSING_MOTD, motd)) return;
    owner_->UserUpdateServer(name, password, motd, channels != 0, operators != 0);
}

void ServerUser::HandleUpdateAdmin(const std::string& line, bool&) {
    std::string username, password;
    if (!RequireString(line, "username", ERR_MISSING_USERNAME, username)) return;
    if (!RequireString(line, "password", ERR_MISSING_PASSWORD, password)) return;
    owner_->UserUpdateAdmin(username, password);
    SendOk();
}

void ServerUser::HandleSaveConfig(const std::string&, bool&) {
    owner_->UserSaveConfig();
    SendOk();
}

void ServerUser::HandleBan(const std::string& line, bool&) {
    int target = 0;
    if (!RequireInt(line, "userid", ERR_MISSING_USERID, target)) return;
    if (Succeeded(owner_->UserBan(target))) SendOk();
}

void ServerUser::HandleUnban(const std::string& line, bool&) {
    std::string address;
    if (!RequireString(line, "address", ERR_MISSING_ADDRESS, address)) return;
    if (Succeeded(owner_->UserUnban(address))) SendOk();
}

void ServerUser::HandleListBans(const std::string&, bool&) { Succeeded(owner_->UserListBans(GetUserID())); }

void ServerUser::HandleUnavailable(const std::string&, bool&) { SendError(ERR_UNKNOWN_COMMAND); }

}  // namespace server
}  // namespace quorvane
