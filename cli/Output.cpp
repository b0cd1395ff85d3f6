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
        for (char c : record[i].value) {
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

Field Number(const char* name, int64_t value) { return {name, std::to_string(value), FieldKind::NUMBER}; }

Field Flag(const char* name, bool value) { return {name, value ? "1" : "0", FieldKind::FLAG}; }

namespace {

// A JSON number as the protocol writes integers: optional minus, digits, no leading zeros.
bool IsJsonInteger(const std::string& text) {
    const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
    return text[digits] != '0' || text.size() == digits + 1;
}

std::string JsonValue(const Field& field) {
    switch (field.kind) {
    case FieldKind::NUMBER:
        if (IsJsonInteger(field.value)) return field.value;
        break;
    case FieldKind::FLAG: return field.value == "0" || field.value.empty() ? "false" : "true";
    case FieldKind::NUMBERS: {
        std::string out = "[";
        size_t start = 0;
        while (start < field.value.size()) {
            size_t end = field.value.find(',', start);
            if (end == std::string::npos) end = field.value.size();
            const std::string item = field.value.substr(start, end - start);
            out += (out.size() > 1 ? "," : "") + (IsJsonInteger(item) ? item : JsonString(item));
            start = end + 1;
        }
        return out + "]";
    }
    case FieldKind::TEXT: break;
    }
    return JsonString(field.value);
}

}  // namespace

std::string FormatJson(const Record& record) {
    std::string out = "{";
    for (size_t i = 0; i < record.size(); ++i) {
        if (i > 0) out += ",";
        out += JsonString(record[i].name) + ":" + JsonValue(record[i]);
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
        // Only this client changes its own nickname and status: it says so itself.
        const int id = IntParam(line, "userid");
        const UserInfo* old = before.FindUser(id);
        const std::string nickname = TextParam(line, "nickname");
        if (old == nullptr || id == before.ownId) return "";
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

std::string FilesText(const std::string& channel, const std::vector<std::string>& addfileLines) {
    // A channel with many files is summed up: the tree lists them all.
    const size_t SHOWN = 10;
    std::string text;
    for (size_t i = 0; i < addfileLines.size() && i < SHOWN; ++i) {
        text += (i > 0 ? ", " : "") + TextParam(addfileLines[i], "filename") + " (" +
                HumanBytes(static_cast<double>(Int64Param(addfileLines[i], "filesize"))) + ")";
    }
    if (addfileLines.size() > SHOWN) text += " and " + std::to_string(addfileLines.size() - SHOWN) + " more (see tree)";
    return text.empty() ? "" : "Files in " + channel + ": " + text;
}

std::string BanText(const std::string& line) {
    const std::string channel = TextParam(line, "channel");
    return TextParam(line, "address") + "  " + TextParam(line, "nickname") +
           (channel.empty() ? "" : "  in " + channel) + "  since " + TextParam(line, "bantime");
}

std::string ConnectionText(const std::string& line) {
    const std::string channel = TextParam(line, "channel");
    const std::string who = IntParam(line, "admin") != 0      ? "administrator"
                            : IntParam(line, "loggedin") != 0 ? TextParam(line, "nickname")
                                                              : "(not logged in)";
    return std::to_string(IntParam(line, "userid")) + "  " + who + "  " + TextParam(line, "address") +
           (channel.empty() ? "" : "  in " + channel) + "  idle " + std::to_string(IntParam(line, "idleseconds")) +
           " s";
}

Record BanRow(const std::string& line) {
    return {{"address", TextParam(line, "address")},
            {"channel", TextParam(line, "channel")},
            {"nickname", TextParam(line, "nickname")},
            {"bantime", TextParam(line, "bantime")}};
}

Record ConnectionRow(const std::string& line) {
    return {Number("userid", IntParam(line, "userid")),
            {"nickname", TextParam(line, "nickname")},
            {"address", TextParam(line, "address")},
            {"channel", TextParam(line, "channel")},
            Flag("loggedin", IntParam(line, "loggedin") != 0),
            Flag("admin", IntParam(line, "admin") != 0),
            Number("idleseconds", IntParam(line, "idleseconds"))};
}

std::string TransferText(bool upload, const std::string& name, int64_t size, const std::string& where, double seconds) {
    char duration[32];
    std::snprintf(duration, sizeof(duration), "%.1f s", seconds);
    return std::string(upload ? "Uploaded " : "Downloaded ") + name + " (" + HumanBytes(static_cast<double>(size)) +
           ") to " + where + " in " + duration + ".";
}

std::string StatsText(const std::string& content) {
    std::string text = content;
    ReplaceAll(text, "\r\n", "\n  ");
    return "Server statistics:\n  " + text;
}

namespace {

enum class StatUnit { COUNT, DURATION };

// The server's labels and the names scripts get; a label not listed here gets its words
// in snake_case.
const struct {
    const char* label;
    const char* name;
    StatUnit unit;
} STATS[] = {
    {"Uptime", "uptime_seconds", StatUnit::DURATION},
    {"Users online", "users_online", StatUnit::COUNT},
    {"Users served", "users_served", StatUnit::COUNT},
    {"Users peak", "users_peak", StatUnit::COUNT},
    {"Voice TX", "voice_tx_kib", StatUnit::COUNT},
    {"Voice RX", "voice_rx_kib", StatUnit::COUNT},
    {"Active file transfers", "file_transfers", StatUnit::COUNT},
    {"Active uploads", "uploads", StatUnit::COUNT},
    {"Active downloads", "downloads", StatUnit::COUNT},
};

std::string SnakeCase(const std::string& label) {
    std::string out;
    for (char c : ToLower(label)) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum) out += c;
        else if (!out.empty() && out.back() != '_') out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

// "12 KBytes" -> 12; "1:02:03" as a duration -> 3723. False when the text starts with no number.
bool StatNumber(const std::string& text, StatUnit unit, int64_t& value) {
    size_t at = 0;
    value = 0;
    for (int part = 0; part < (unit == StatUnit::DURATION ? 3 : 1); ++part) {
        const size_t end = text.find_first_not_of("0123456789", at);
        const size_t length = (end == std::string::npos ? text.size() : end) - at;
        if (length == 0 || length > 18) return false;
        value = value * (part == 0 ? 1 : 60) + std::stoll(text.substr(at, length));
        at += length;
        if (part < 2 && unit == StatUnit::DURATION && (at >= text.size() || text[at++] != ':')) return false;
    }
    return true;
}

}  // namespace

std::vector<Record> StatsRows(const std::string& content) {
    std::vector<Record> rows;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) end = content.size();
        const std::string item = content.substr(start, end - start);
        start = end + 2;
        const size_t colon = item.find(": ");
        if (colon == std::string::npos) continue;
        const std::string label = item.substr(0, colon);
        const std::string text = item.substr(colon + 2);
        std::string name = SnakeCase(label);
        StatUnit unit = StatUnit::COUNT;
        for (const auto& stat : STATS) {
            if (label == stat.label) {
                name = stat.name;
                unit = stat.unit;
            }
        }
        int64_t value = 0;
        rows.push_back({{"name", name}, StatNumber(text, unit, value) ? Number("value", value) : Field{"value", text}});
    }
    return rows;
}

}  // namespace cli
}  // namespace quorvane
