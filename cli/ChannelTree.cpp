#include "ChannelTree.h"

#include <algorithm>

#include "LineParams.h"

namespace quorvane {
namespace cli {

namespace {

int Depth(const std::string& path) { return static_cast<int>(std::count(path.begin(), path.end(), '/')) - 1; }

}  // namespace

std::string NormalizeChannelPath(const std::string& path) {
    std::string out = path;
    if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
    if (out.back() != '/') out += '/';
    return out;
}

bool ChannelTree::Apply(const std::string& line) {
    std::string word;
    if (!ExtractCommand(line, word)) return false;
    if (word == "welcome") {
        ownId = IntParam(line, "userid");
        ApplyServer(line);
    } else if (word == "serverupdate") {
        ApplyServer(line);
    } else if (word == "accepted") {
        ownId = IntParam(line, "userid");
        ownNickname = TextParam(line, "nickname");
        loggedIn = true;
    } else if (word == "loggedout") {
        loggedIn = false;
        ApplyOwnChannel("");
    } else if (word == "addchannel" || word == "updatechannel") {
        ApplyChannel(line);
    } else if (word == "removechannel") {
        const std::string path = TextParam(line, "channel");
        channels_.erase(ToLower(path));
        for (auto it = users_.begin(); it != users_.end();) {
            it = EqualsNoCase(it->second.channel, path) ? users_.erase(it) : std::next(it);
        }
    } else if (word == "adduser" || word == "updateuser") {
        ApplyUser(line);
    } else if (word == "removeuser") {
        users_.erase(IntParam(line, "userid"));
    } else if (word == "joined") {
        ApplyOwnChannel(TextParam(line, "channel"));
    } else if (word == "left") {
        ApplyOwnChannel("");
    } else if (word == "addfile" || word == "removefile") {
        ApplyFile(line, word == "addfile");
    } else {
        return false;
    }
    return true;
}

void ChannelTree::ApplyServer(const std::string& line) {
    serverName = TextParam(line, "servername");
    motd = TextParam(line, "motd");
    GetBoolParam(line, "channels", channelCreation);
    GetBoolParam(line, "operators", operatorsAllowed);
}

ChannelInfo* ChannelTree::MutableChannel(const std::string& path) {
    auto it = channels_.find(ToLower(path));
    return it == channels_.end() ? nullptr : &it->second;
}

void ChannelTree::ApplyChannel(const std::string& line) {
    const std::string path = TextParam(line, "channel");
    ChannelInfo& channel = channels_[ToLower(path)];
    channel.path = path;
    channel.topic = TextParam(line, "topic");
    // An administrator is told the password and the static flag, anyone else only
    // whether there is a password.
    if (GetStringParam(line, "password", channel.password)) {
        channel.isProtected = !channel.password.empty();
    } else {
        GetBoolParam(line, "protected", channel.isProtected);
    }
    GetBoolParam(line, "static", channel.isStatic);
    channel.operators = TextParam(line, "operators");
    channel.userCount = IntParam(line, "usercount");
    channel.diskQuota = Int64Param(line, "diskquota");
}

void ChannelTree::ApplyUser(const std::string& line) {
    UserInfo user;
    user.id = IntParam(line, "userid");
    user.nickname = TextParam(line, "nickname");
    user.channel = TextParam(line, "channel");
    user.address = TextParam(line, "address");
    user.statusMode = IntParam(line, "statusmode");
    user.statusMessage = TextParam(line, "statusmessage");
    user.version = TextParam(line, "version");
    if (user.id == ownId && !user.nickname.empty()) ownNickname = user.nickname;
    users_[user.id] = user;
}

void ChannelTree::ApplyFile(const std::string& line, bool add) {
    ChannelInfo* channel = MutableChannel(TextParam(line, "channel"));
    if (channel == nullptr) return;
    if (add) {
        channel->files[TextParam(line, "filename")] = Int64Param(line, "filesize");
    } else {
        channel->files.erase(TextParam(line, "filename"));
    }
}

// A user sees only the members of its own channel, so a change of channel starts its
// list of users afresh; an administrator sees everybody and never joins.
void ChannelTree::ApplyOwnChannel(const std::string& channel) {
    ownChannel = channel;
    if (!administrator) users_.clear();
}

const ChannelInfo* ChannelTree::FindChannel(const std::string& path) const {
    auto it = channels_.find(ToLower(path));
    return it == channels_.end() ? nullptr : &it->second;
}

const UserInfo* ChannelTree::FindUser(int id) const {
    auto it = users_.find(id);
    return it == users_.end() ? nullptr : &it->second;
}

int ChannelTree::FindUserByNickname(const std::string& nickname) const {
    int found = 0;
    int matches = 0;
    for (const auto& entry : users_) {
        if (entry.second.nickname == nickname) return entry.first;
        if (EqualsNoCase(entry.second.nickname, nickname)) {
            found = entry.first;
            ++matches;
        }
    }
    return matches == 1 ? found : 0;
}

std::vector<std::string> ChannelTree::ChannelPaths() const {
    std::vector<std::string> paths;
    for (const auto& entry : channels_) paths.push_back(entry.second.path);
    return paths;
}

std::vector<std::string> ChannelTree::Nicknames() const {
    std::vector<std::string> names;
    for (const auto& entry : users_) names.push_back(entry.second.nickname);
    return names;
}

std::vector<std::string> ChannelTree::FileNames(const std::string& channel) const {
    std::vector<std::string> names;
    if (const ChannelInfo* info = FindChannel(channel)) {
        for (const auto& file : info->files) names.push_back(file.first);
    }
    return names;
}

std::string ChannelTree::Render() const {
    std::string out;
    for (const auto& entry : channels_) {
        const ChannelInfo& channel = entry.second;
        const std::string indent(2 * static_cast<size_t>(std::max(Depth(channel.path), 0)), ' ');
        out += indent + channel.path;
        if (!channel.topic.empty()) out += "  \"" + channel.topic + "\"";
        if (channel.isProtected) out += "  (password)";
        out += "  users: " + std::to_string(channel.userCount);
        if (!channel.operators.empty()) out += "  operators: " + channel.operators;
        out += "\n";
        for (const auto& user : users_) {
            if (!EqualsNoCase(user.second.channel, channel.path)) continue;
            out += indent + "  " + user.second.nickname + " (" + std::to_string(user.first) + ")";
            if (user.first == ownId) out += " <- you";
            // The administrator sees where each user connects from (what a ban takes).
            if (administrator) out += "  " + user.second.address;
            if (!user.second.statusMessage.empty()) out += "  [" + user.second.statusMessage + "]";
            out += "\n";
        }
        for (const auto& file : channel.files) {
            out += indent + "  file " + file.first + "  " + std::to_string(file.second) + " bytes\n";
        }
    }
    return out;
}

std::vector<Record> ChannelTree::Rows() const {
    std::vector<Record> rows;
    for (const auto& entry : channels_) {
        const ChannelInfo& channel = entry.second;
        rows.push_back({{"kind", "channel"},
                        {"channel", channel.path},
                        {"topic", channel.topic},
                        Flag("protected", channel.isProtected),
                        Number("usercount", channel.userCount),
                        {"operators", channel.operators, FieldKind::NUMBERS},
                        Number("diskquota", channel.diskQuota)});
        for (const auto& user : users_) {
            if (!EqualsNoCase(user.second.channel, channel.path)) continue;
            rows.push_back({{"kind", "user"},
                            {"channel", channel.path},
                            Number("userid", user.first),
                            {"nickname", user.second.nickname},
                            Number("statusmode", user.second.statusMode),
                            {"statusmessage", user.second.statusMessage}});
            if (administrator) rows.back().push_back({"address", user.second.address});
        }
        for (const auto& file : channel.files) {
            rows.push_back({{"kind", "file"},
                            {"channel", channel.path},
                            {"filename", file.first},
                            Number("filesize", file.second)});
        }
    }
    return rows;
}

}  // namespace cli
}  // namespace quorvane
