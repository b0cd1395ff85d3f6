#include "CommandTable.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "protocol/CommandLine.h"
#include "protocol/LineBuilder.h"

namespace quorvane {
namespace cli {

namespace {

const int REST = -1;  // maxArgs: the last argument runs to the end of the line

typedef std::map<std::string, std::string> Settings;

struct Args {
    const Words& typed;  // words[0] is the command itself
    const CommandContext& context;
    Request& request;
    std::string& error;

    size_t Count() const { return typed.words.size() - 1; }
    const std::string& operator[](size_t i) const { return typed.words[i + 1]; }
    std::string Or(size_t i, const std::string& fallback) const { return i < Count() ? (*this)[i] : fallback; }
    // The free text from argument i on; one quoted word stands for its content.
    std::string Rest(size_t i) const { return Count() == i + 1 ? (*this)[i] : typed.rest[i + 1]; }
    const ChannelTree& Tree() const { return context.tree; }

    bool Fail(const std::string& message) const {
        error = message;
        return false;
    }
    bool Send(const LineBuilder& line, ResultKind result = ResultKind::NONE) const {
        request.action = Action::SERVER;
        request.line = line.Finish();
        request.result = result;
        return true;
    }
    bool Local(Action action) const {
        request.action = action;
        return true;
    }
    // What the prompt says once the command succeeded, and the server's lines that would
    // say it again.
    bool Confirm(const std::string& text, std::initializer_list<const char*> echo = {}, const std::string& channel = "",
                 int userId = 0) const {
        request.confirmation = text;
        request.echo.words.assign(echo.begin(), echo.end());
        request.echo.channel = channel;
        request.echo.userId = userId;
        return true;
    }
    // A user as people read it: "bob (2)".
    std::string Who(int id) const {
        const UserInfo* user = Tree().FindUser(id);
        return user != nullptr ? user->nickname + " (" + std::to_string(id) + ")" : "user " + std::to_string(id);
    }

    // A user named by nickname or by id.
    bool User(size_t i, int& id) const {
        const std::string& who = (*this)[i];
        if (IsNumber(who) && who != "-") {
            id = std::atoi(who.c_str());
            return true;
        }
        id = Tree().FindUserByNickname(who);
        return id != 0 || Fail("no user called \"" + who + "\" in view; give the user id instead");
    }
    // Commands whose one argument is a user: the line carries its id.
    bool SendForUser(const char* word, int& id) const {
        return User(0, id) && Send(LineBuilder(word).Int("userid", id));
    }
    bool OwnChannel(std::string& channel) const {
        channel = Tree().ownChannel;
        if (!channel.empty()) return true;
        return Fail(Tree().administrator ? "give the channel PATH: the administrator is in no channel"
                                         : "join a channel first");
    }
    // name=value arguments from i on, each name one of the allowed ones.
    bool NamedValues(size_t i, std::initializer_list<const char*> allowed, Settings& out) const {
        for (; i < Count(); ++i) {
            const std::string& arg = (*this)[i];
            const size_t eq = arg.find('=');
            bool known = false;
            for (const char* name : allowed) known = known || arg.compare(0, eq, name) == 0;
            if (eq == std::string::npos || !known) {
                std::string names;
                for (const char* name : allowed) names += std::string(names.empty() ? "" : ", ") + name;
                return Fail("\"" + arg + "\" is not NAME=VALUE with NAME one of " + names);
            }
            out[arg.substr(0, eq)] = arg.substr(eq + 1);
        }
        return true;
    }
    bool Number64(const Settings& values, const char* name, int64_t& out) const {
        auto it = values.find(name);
        if (it == values.end()) return true;
        if (!IsNumber(it->second)) return Fail(std::string(name) + " must be a number");
        out = std::strtoll(it->second.c_str(), nullptr, 10);
        return true;
    }
    bool Flag(const Settings& values, const char* name, bool& out) const {
        auto it = values.find(name);
        if (it == values.end()) return true;
        if (it->second != "0" && it->second != "1") return Fail(std::string(name) + " must be 0 or 1");
        out = it->second == "1";
        return true;
    }
};

std::string Setting(const Settings& values, const char* name, const std::string& fallback) {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

typedef bool (*Builder)(const Args&);

const int NO_SECRET = 1 << 30;

// Why the administrator's connection cannot do what a user's does.
const char* const ADMIN_NO_CHANNEL = "the administrator cannot join channels; log in with --user for that";
const char* const ADMIN_NO_CHANNEL_MESSAGES =
    "administrators cannot send channel messages; log in with --user for that";
const char* const ADMIN_NO_USER_MESSAGES = "administrators cannot send messages to users; log in with --user for that";
const char* const ADMIN_NO_STATS =
    "administrators cannot send channel messages, and the statistics answer one; log in with --user for that";
const char* const ADMIN_NO_SELF = "the administrator has no nickname or status; log in with --user for that";
const char* const ADMIN_NO_FILES = "the administrator is in no channel to share files in; log in with --user for that";

// Who may use a command; help marks the administrator's.
enum class Rights { ANYONE, ADMIN };
const Rights ADMIN = Rights::ADMIN;
const Rights ANYONE = Rights::ANYONE;

struct CommandEntry {
    const char* word;
    Rights rights;
    const char* usage;  // the argument shape
    int minArgs;
    int maxArgs;  // REST: the last one takes the rest of the line
    ArgKind kinds[2];
    Builder build;
    const char* help;
    const char* forAdmin = nullptr;  // set: the administrator is refused with this text
    int secretAfter = NO_SECRET;     // a line with more arguments than this holds a password
    const char* option = nullptr;    // a flag the command takes anywhere among its arguments
                                     // (commands with one take no free text)
};

// Commands of people in channels, then of the administrator, then of the client itself.
// clang-format off
const CommandEntry COMMANDS[] = {
    {"join", ANYONE, "PATH [PASSWORD]", 1, 2, {ArgKind::CHANNEL, ArgKind::NONE},
     [](const Args& a) {
         const std::string path = NormalizeChannelPath(a[0]);
         // The files already there come as the join's own lines: listed once, not as new.
         return a.Send(LineBuilder("join").String("channel", path).String("password", a.Or(1, "")),
                       ResultKind::FILES) &&
                a.Confirm("", {"addfile"}, path);
     },
     "join a channel; one that does not exist is made when the server allows it", ADMIN_NO_CHANNEL, 1},
    {"leave", ANYONE, "", 0, 0, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) { return a.Send(LineBuilder("leave")); }, "leave the channel", ADMIN_NO_CHANNEL},
    {"msg", ANYONE, "NICK TEXT", 2, REST, {ArgKind::USER, ArgKind::NONE},
     [](const Args& a) {
         int id = 0;
         return a.User(0, id) &&
                a.Send(LineBuilder("message").Int("type", 1).String("channel", "").Int("to", id).String("content", a.Rest(1))) &&
                a.Confirm("[you -> " + a.Who(id) + "] " + a.Rest(1));
     },
     "send a message to one user", ADMIN_NO_USER_MESSAGES},
    {"say", ANYONE, "TEXT", 1, REST, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         std::string channel;
         return a.OwnChannel(channel) &&
                a.Send(LineBuilder("message").Int("type", 2).String("channel", channel).String("content", a.Rest(0)));
     },
     "send a message to everybody in the channel", ADMIN_NO_CHANNEL_MESSAGES},
    {"stats", ANYONE, "", 0, 0, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         std::string channel;
         return a.OwnChannel(channel) &&
                a.Send(LineBuilder("message").Int("type", 2).String("channel", channel).String("content", "/stats"),
                       ResultKind::STATS) &&
                a.Confirm("", {"messagedeliver"}, "", a.Tree().ownId);
     },
     "show the server's statistics (from inside a channel)", ADMIN_NO_STATS},
    {"nick", ANYONE, "NAME", 1, 1, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         return a.Send(LineBuilder("changenick").String("nickname", a[0])) &&
                a.Confirm("You are now known as " + a[0] + ".");
     },
     "change your nickname", ADMIN_NO_SELF},
    {"status", ANYONE, "MODE [TEXT]", 1, REST, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         if (!IsNumber(a[0])) return a.Fail("MODE must be a number");
         const std::string text = a.Count() > 1 ? a.Rest(1) : "";
         const int mode = std::atoi(a[0].c_str());
         return a.Send(LineBuilder("changestatus").Int("statusmode", mode).String("statusmessage", text)) &&
                a.Confirm("Your status is now " + std::to_string(mode) + (text.empty() ? "" : ": " + text) + ".");
     },
     "set your status mode and message", ADMIN_NO_SELF},
    {"upload", ANYONE, "FILE [NAME]", 1, 2, {ArgKind::LOCAL_FILE, ArgKind::NONE},
     [](const Args& a) {
         a.request.localPath = a[0];
         a.request.remoteName = a.Or(1, BaseName(a[0]));
         if (a.request.remoteName.empty()) return a.Fail("give the NAME the file gets in the channel");
         return a.OwnChannel(a.request.channel) && a.Local(Action::UPLOAD);
     },
     "share a file in the channel", ADMIN_NO_FILES},
    {"download", ANYONE, "[--force] NAME [PATH]", 1, 2, {ArgKind::REMOTE_FILE, ArgKind::LOCAL_FILE},
     [](const Args& a) {
         a.request.remoteName = a[0];
         // A name from the server never chooses a directory of its own.
         a.request.localPath = a.Or(1, BaseName(a[0]));
         const std::string& path = a.request.localPath;
         if (path.empty() || path == "." || path == "..") return a.Fail("give a PATH to save \"" + a[0] + "\" as");
         return a.OwnChannel(a.request.channel) && a.Local(Action::DOWNLOAD);
     },
     "fetch a shared file of the channel; an existing PATH is replaced only with --force (or a yes)",
     ADMIN_NO_FILES, NO_SECRET, "--force"},
    {"rm", ANYONE, "NAME [PATH]", 1, 2, {ArgKind::REMOTE_FILE, ArgKind::CHANNEL},
     [](const Args& a) {
         std::string channel = a.Count() > 1 ? NormalizeChannelPath(a[1]) : "";
         return (!channel.empty() || a.OwnChannel(channel)) &&
                a.Send(LineBuilder("deletefile").String("filename", a[0]).String("channel", channel)) &&
                a.Confirm("Deleted " + a[0] + " from " + channel + ".", {"removefile"}, channel);
     },
     "delete a shared file (operators and the administrator)"},
    {"mkchan", ADMIN, "PATH [topic=T] [password=P] [quota=BYTES]", 1, 4, {ArgKind::CHANNEL, ArgKind::NONE},
     [](const Args& a) {
         Settings values;
         int64_t quota = 0;
         const std::string path = NormalizeChannelPath(a[0]);
         return a.NamedValues(1, {"topic", "password", "quota"}, values) && a.Number64(values, "quota", quota) &&
                a.Send(LineBuilder("makechannel")
                           .String("channel", path)
                           .String("password", Setting(values, "password", ""))
                           .String("topic", Setting(values, "topic", ""))
                           .Int64("diskquota", quota)) &&
                a.Confirm("Channel " + path + " created.", {"addchannel"}, path);
     },
     "make a static channel"},
    {"setchan", ADMIN, "PATH [topic=T] [password=P] [static=0|1] [quota=BYTES]", 1, 5, {ArgKind::CHANNEL, ArgKind::NONE},
     [](const Args& a) {
         // The server wants every property: the ones not given keep their present value.
         const std::string path = NormalizeChannelPath(a[0]);
         const ChannelInfo* channel = a.Tree().FindChannel(path);
         if (channel == nullptr) return a.Fail("no channel " + path);
         Settings values;
         bool isStatic = channel->isStatic;
         int64_t quota = channel->diskQuota;
         return a.NamedValues(1, {"topic", "password", "static", "quota"}, values) &&
                a.Flag(values, "static", isStatic) && a.Number64(values, "quota", quota) &&
                a.Send(LineBuilder("updatechannel")
                           .String("channel", channel->path)
                           .String("password", Setting(values, "password", channel->password))
                           .String("topic", Setting(values, "topic", channel->topic))
                           .Bool("static", isStatic)
                           .Int64("diskquota", quota)) &&
                a.Confirm("Channel " + channel->path + " updated.", {"updatechannel"}, channel->path);
     },
     "change a channel's properties"},
    {"rmchan", ADMIN, "PATH", 1, 1, {ArgKind::CHANNEL, ArgKind::NONE},
     [](const Args& a) {
         const std::string path = NormalizeChannelPath(a[0]);
         return a.Send(LineBuilder("removechannel").String("channel", path)) &&
                a.Confirm("Channel " + path + " removed.", {"removechannel", "removeuser"}, path);
     },
     "remove a channel with everything below it"},
    {"move", ADMIN, "USER PATH", 2, 2, {ArgKind::USER, ArgKind::CHANNEL},
     [](const Args& a) {
         int id = 0;
         if (!a.User(0, id)) return false;
         const UserInfo* user = a.Tree().FindUser(id);
         const std::string path = NormalizeChannelPath(a[1]);
         return a.Send(LineBuilder("moveuser")
                           .String("srcchannel", user != nullptr && !user->channel.empty() ? user->channel : "/")
                           .String("destchannel", path)
                           .Int("userid", id)) &&
                a.Confirm("Moved " + a.Who(id) + " to " + path + ".", {"removeuser", "adduser"}, "", id);
     },
     "move a user to another channel"},
    {"kick", ANYONE, "USER", 1, 1, {ArgKind::USER, ArgKind::NONE},
     [](const Args& a) {
         int id = 0;
         return a.SendForUser("kick", id) && a.Confirm("Kicked " + a.Who(id) + ".", {"removeuser"}, "", id);
     },
     "disconnect a user (operators: from their channel)"},
    {"op", ANYONE, "USER [PATH]", 1, 2, {ArgKind::USER, ArgKind::CHANNEL},
     [](const Args& a) {
         int id = 0;
         if (!a.User(0, id)) return false;
         std::string channel = a.Count() > 1 ? NormalizeChannelPath(a[1]) : a.Tree().ownChannel;
         const UserInfo* user = a.Tree().FindUser(id);
         if (channel.empty() && user != nullptr) channel = user->channel;
         if (channel.empty()) return a.Fail("give the channel PATH");
         return a.Send(LineBuilder("op").Int("userid", id).String("channel", channel)) &&
                a.Confirm(a.Who(id) + " is now an operator of " + channel + ".");
     },
     "make a user operator of a channel"},
    {"ban", ADMIN, "USER", 1, 1, {ArgKind::USER, ArgKind::NONE},
     [](const Args& a) {
         int id = 0;
         if (!a.SendForUser("ban", id)) return false;
         const UserInfo* user = a.Tree().FindUser(id);
         const bool known = user != nullptr && !user->address.empty() && user->address != "0.0.0.0";
         return a.Confirm("Banned " + (user != nullptr ? user->nickname : "user " + std::to_string(id)) +
                          (known ? " (" + user->address + ")" : "") + ".");
     },
     "ban a user's address from the server"},
    {"unban", ADMIN, "ADDRESS", 1, 1, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         return a.Send(LineBuilder("unban").String("address", a[0])) && a.Confirm("Unbanned " + a[0] + ".");
     },
     "lift a ban"},
    {"bans", ADMIN, "", 0, 0, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) { return a.Send(LineBuilder("listbans"), ResultKind::BANS); },
     "list the bans: address, channel, nickname, time"},
    {"who", ADMIN, "", 0, 0, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) { return a.Send(LineBuilder("listusers"), ResultKind::USERS); },
     "list every connection: id, nickname, address, channel, logged in or not, idle time"},
    {"server", ADMIN, "password=P [name=N] [motd=M] [channels=0|1] [operators=0|1]", 1, 5, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         Settings values;
         bool channels = a.Tree().channelCreation;
         bool operators = a.Tree().operatorsAllowed;
         if (!a.NamedValues(0, {"name", "motd", "password", "channels", "operators"}, values) ||
             !a.Flag(values, "channels", channels) || !a.Flag(values, "operators", operators)) {
             return false;
         }
         // The server cannot tell its password; sending none would clear it unasked.
         if (values.count("password") == 0) return a.Fail("give password= too (password= with nothing clears it)");
         return a.Send(LineBuilder("updateserver")
                           .Bool("channels", channels)
                           .Bool("operators", operators)
                           .String("servername", Setting(values, "name", a.Tree().serverName))
                           .String("password", values["password"])
                           .String("motd", Setting(values, "motd", a.Tree().motd))) &&
                a.Confirm("Server settings updated.", {"serverupdate"});
     },
     "change the server's settings; the ones not given stay", nullptr, 0},
    {"admin", ADMIN, "NAME", 1, 1, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) {
         std::string password;
         if (!a.context.askSecret || !a.context.askSecret("New administrator password: ", password)) {
             return a.Fail("no new password: type it at the prompt or set QUORVANE_NEW_PASSWORD");
         }
         return a.Send(LineBuilder("updateadmin").String("username", a[0]).String("password", password)) &&
                a.Confirm("The administrator account is now " + a[0] + ".");
     },
     "change the administrator account; the password is asked for", nullptr, 0},
    {"save", ADMIN, "", 0, 0, {ArgKind::NONE, ArgKind::NONE},
     [](const Args& a) { return a.Send(LineBuilder("saveconfig")) && a.Confirm("Configuration saved."); },
     "save the server's configuration"},
    {"tree", ANYONE, "", 0, 0, {ArgKind::NONE, ArgKind::NONE}, [](const Args& a) { return a.Local(Action::TREE); },
     "show the channels with their users and files"},
    {"help", ANYONE, "[COMMAND]", 0, 1, {ArgKind::COMMAND, ArgKind::NONE},
     [](const Args& a) {
         a.request.remoteName = a.Or(0, "");
         return a.Local(Action::HELP);
     },
     "list the commands"},
    {"quit", ANYONE, "", 0, 0, {ArgKind::NONE, ArgKind::NONE}, [](const Args& a) { return a.Local(Action::QUIT); },
     "leave the client"},
};
// clang-format on

const CommandEntry* FindCommand(const std::string& word) {
    for (const CommandEntry& entry : COMMANDS) {
        if (EqualsNoCase(word, entry.word)) return &entry;
    }
    return nullptr;
}

std::string Usage(const CommandEntry& entry) {
    return std::string(entry.word) + (*entry.usage != '\0' ? " " : "") + entry.usage;
}

}  // namespace

bool SplitWords(const std::string& text, Words& out, std::string& error) {
    out = Words();
    size_t i = 0;
    for (;;) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= text.size()) break;
        size_t end = text.find_last_not_of(" \t\r\n");
        out.rest.push_back(text.substr(i, end == std::string::npos ? 0 : end + 1 - i));
        std::string word;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
            const char quote = text[i];
            if (quote != '"' && quote != '\'') {
                word += text[i++];
                continue;
            }
            ++i;
            while (i < text.size() && text[i] != quote) {
                if (quote == '"' && text[i] == '\\' && i + 1 < text.size()) ++i;
                word += text[i++];
            }
            if (i >= text.size()) {
                error = std::string("unclosed ") + quote;
                return false;
            }
            ++i;
        }
        out.words.push_back(word);
    }
    return true;
}

bool BuildRequest(const std::string& text, const CommandContext& context, Request& request, std::string& error) {
    request = Request();
    Words typed;
    if (!SplitWords(text, typed, error)) return false;
    if (typed.words.empty()) return true;
    const CommandEntry* entry = FindCommand(typed.words[0]);
    if (entry == nullptr) {
        error = "unknown command \"" + typed.words[0] + "\" (type help)";
        return false;
    }
    if (entry->forAdmin != nullptr && context.tree.administrator) {
        error = entry->forAdmin;
        return false;
    }
    for (size_t i = 1; entry->option != nullptr && i < typed.words.size();) {
        if (typed.words[i] != entry->option) {
            ++i;
            continue;
        }
        request.force = true;
        typed.words.erase(typed.words.begin() + static_cast<long>(i));
        typed.rest.erase(typed.rest.begin() + static_cast<long>(i));
    }
    const int count = static_cast<int>(typed.words.size()) - 1;
    if (count < entry->minArgs || (entry->maxArgs != REST && count > entry->maxArgs)) {
        error = "usage: " + Usage(*entry);
        return false;
    }
    const Args args{typed, context, request, error};
    return entry->build(args);
}

bool HoldsSecret(const std::string& text) {
    Words typed;
    std::string ignored;
    if (!SplitWords(text, typed, ignored)) {
        // Unclosed quotes: the words as the blanks cut them, so a password is still seen.
        std::istringstream blanks(text);
        typed.words.clear();
        for (std::string word; blanks >> word;) typed.words.push_back(word);
    }
    if (typed.words.empty()) return false;
    for (size_t i = 1; i < typed.words.size(); ++i) {
        if (typed.words[i].find("password=") != std::string::npos) return true;
    }
    const CommandEntry* entry = FindCommand(typed.words[0]);
    return entry != nullptr && static_cast<int>(typed.words.size()) - 1 > entry->secretAfter;
}

bool Echo::Matches(const std::string& line) const {
    std::string word;
    if (!ExtractCommand(line, word) || std::find(words.begin(), words.end(), word) == words.end()) return false;
    std::string value;
    if (!channel.empty() &&
        (!GetStringParam(line, "channel", value) || !EqualsNoCase(value.substr(0, channel.size()), channel))) {
        return false;
    }
    int id = 0;
    return userId == 0 || ((GetIntParam(line, "userid", id) || GetIntParam(line, "from", id)) && id == userId);
}

std::vector<std::string> CommandWords() {
    std::vector<std::string> words;
    for (const CommandEntry& entry : COMMANDS) words.push_back(entry.word);
    return words;
}

std::string CommandHelp(const std::string& word) {
    std::string out;
    for (const CommandEntry& entry : COMMANDS) {
        if (!word.empty() && !EqualsNoCase(word, entry.word)) continue;
        std::string usage = Usage(entry);
        usage.resize(std::max<size_t>(usage.size() + 2, 30), ' ');
        out += "  " + usage + entry.help + (entry.rights == ADMIN ? " (administrator)" : "") + "\n";
    }
    return out.empty() ? "no command \"" + word + "\"\n" : out;
}

ArgKind ArgumentKind(const std::string& word, size_t index) {
    const CommandEntry* entry = FindCommand(word);
    return entry != nullptr && index < 2 ? entry->kinds[index] : ArgKind::NONE;
}

}  // namespace cli
}  // namespace quorvane
