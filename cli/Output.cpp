#include "Output.h"

#include <cstdio>

#include "ChannelTree.h"
#include "protocol/CommandLine.h"

namespace quorvane {
namespace cli {

std::string FormatTsv(const Record& record) {
    std::string out;
    for (size_t i = 0; i < record.size(); ++i) {
        if (i > 0) out += '\t';
        for (char c : record[i].second) {
            switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c; break;
            }
        }
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string FormatJson(const Record& record) {
    std::string out = "{";
    for (size_t i = 0; i < record.size(); ++i) {
        if (i > 0) out += ",";
        out += JsonString(record[i].first) + ":" + JsonString(record[i].second);
    }
    return out + "}";
}

std::string HumanBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

namespace {

std::string Text(const std::string& line, const char* name) {
    std::string value;
    GetStringParam(line, name, value);
    return value;
}

int Number(const std::string& line, const char* name) {
    int value = 0;
    GetIntParam(line, name, value);
    return value;
}

std::string NameOf(const ChannelTree& tree, int id) {
    if (id == tree.ownId) return "you";
    const UserInfo* user = tree.FindUser(id);
    return (user != nullptr ? user->nickname : "user") + " (" + std::to_string(id) + ")";
}

}  // namespace

std::string DescribeLine(const std::string& line, const ChannelTree& before) {
    std::string word;
    if (!ExtractCommand(line, word)) return "";
    const std::string channel = Text(line, "channel");
    if (word == "messagedeliver") {
        const int from = Number(line, "from");
        const std::string content = Text(line, "content");
        if (Number(line, "type") == 1) return "[" + NameOf(before, from) + " -> you] " + content;
        return "[" + channel + "] " + NameOf(before, from) + ": " + content;
    }
    if (word == "adduser") {
        const int id = Number(line, "userid");
        if (id == before.ownId) return "";
        return Text(line, "nickname") + " (" + std::to_string(id) + ") is in " + channel;
    }
    if (word == "removeuser") return NameOf(before, Number(line, "userid")) + " left " + channel;
    if (word == "updateuser") {
        const UserInfo* old = before.FindUser(Number(line, "userid"));
        const std::string nickname = Text(line, "nickname");
        if (old == nullptr) return "";
        if (old->nickname != nickname) return old->nickname + " is now known as " + nickname;
        const std::string status = Text(line, "statusmessage");
        if (old->statusMessage != status || old->statusMode != Number(line, "statusmode")) {
            return nickname + " changed status to " + std::to_string(Number(line, "statusmode")) +
                   (status.empty() ? "" : ": " + status);
        }
        return "";
    }
    if (word == "joined") return "You joined " + channel;
    if (word == "left") return "You left " + channel;
    if (word == "addchannel" && before.loggedIn) return "New channel " + channel;
    if (word == "removechannel") return "Channel " + channel + " was removed";
    if (word == "updatechannel") {
        const ChannelInfo* old = before.FindChannel(channel);
        const std::string topic = Text(line, "topic");
        if (old != nullptr && old->topic != topic) return "Topic of " + channel + ": " + topic;
        return "";
    }
    if (word == "addfile") {
        int64_t size = 0;
        GetInt64Param(line, "filesize", size);
        return "New file in " + channel + ": " + Text(line, "filename") + " (" +
               HumanBytes(static_cast<double>(size)) + ")";
    }
    if (word == "removefile") return "File removed from " + channel + ": " + Text(line, "filename");
    if (word == "serverupdate") return "Server: " + Text(line, "servername") + " - " + Text(line, "motd");
    if (word == "loggedout") return "Logged out";
    return "";
}

}  // namespace cli
}  // namespace quorvane
