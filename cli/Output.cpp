#include "Output.h"

#include <cstdio>

#include "ChannelTree.h"
#include "LineParams.h"

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

std::string NameOf(const ChannelTree& tree, int id) {
    if (id == tree.ownId) return "you";
    const UserInfo* user = tree.FindUser(id);
    return (user != nullptr ? user->nickname : "user") + " (" + std::to_string(id) + ")";
}

}  // namespace

std::string DescribeLine(const std::string& line, const ChannelTree& before) {
    const std::string word = LineWord(line);
    const std::string channel = TextParam(line, "channel");
    if (word == "messagedeliver") {
        const int from = IntParam(line, "from");
        // Server replies separate their lines with CR LF; a terminal wants LF alone.
        std::string content = TextParam(line, "content");
        ReplaceAll(content, "\r\n", "\n");
        if (IntParam(line, "type") == 1) return "[" + NameOf(before, from) + " -> you] " + content;
        return "[" + channel + "] " + NameOf(before, from) + ": " + content;
    }
    if (word == "adduser") {
        const int id = IntParam(line, "userid");
        if (id == before.ownId) return "";
        return TextParam(line, "nickname") + " (" + std::to_string(id) + ") is in " + channel;
    }
    if (word == "removeuser") return NameOf(before, IntParam(line, "userid")) + " left " + channel;
    if (word == "updateuser") {
        const UserInfo* old = before.FindUser(IntParam(line, "userid"));
        const std::string nickname = TextParam(line, "nickname");
        if (old == nullptr) return "";
        if (old->nickname != nickname) return old->nickname + " is now known as " + nickname;
        const std::string status = TextParam(line, "statusmessage");
        if (old->statusMessage != status || old->statusMode != IntParam(line, "statusmode")) {
            return nickname + " changed status to " + std::to_string(IntParam(line, "statusmode")) +
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
        const std::string topic = TextParam(line, "topic");
        if (old != nullptr && old->topic != topic) return "Topic of " + channel + ": " + topic;
        return "";
    }
    if (word == "addfile") {
        return "New file in " + channel + ": " + TextParam(line, "filename") + " (" +
               HumanBytes(static_cast<double>(Int64Param(line, "filesize"))) + ")";
    }
    if (word == "removefile") return "File removed from " + channel + ": " + TextParam(line, "filename");
    if (word == "serverupdate") return "Server: " + TextParam(line, "servername") + " - " + TextParam(line, "motd");
    if (word == "loggedout") return "Logged out";
    return "";
}

}  // namespace cli
}  // namespace quorvane
