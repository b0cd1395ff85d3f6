#include "listeners/Persistence.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <set>

#include "protocol/ErrorCodes.h"
#include "server/ServerNode.h"
#include "settings/FilesList.h"
#include "settings/FixedText.h"

namespace quorvane {

using server::serverchannel_t;

void CollectStaticChannels(const serverchannel_t& root, StaticChannelTable& table, bool staticOnly) {
    std::deque<std::pair<serverchannel_t, int32_t>> queue;
    if (root) queue.push_back(std::make_pair(root, 0));
    int32_t lastId = 0;
    while (!queue.empty()) {
        const serverchannel_t channel = queue.front().first;
        const int32_t parentId = queue.front().second;
        queue.pop_front();
        StaticChannelRecord record{};
        record.id = ++lastId;
        record.parentid = parentId;
        CopyFixedText(record.name, channel->GetName());
        CopyFixedText(record.password, channel->GetPassword());
        CopyFixedText(record.topic, channel->GetTopic());
        record.diskquota = channel->GetMaxDiskUsage();
        table[record.id] = record;
        const server::ServerChannel::channels_t subs = channel->GetSubChannels();
        for (size_t i = 0; i < subs.size(); ++i)
            if (!staticOnly || subs[i]->IsStaticChannel()) queue.push_back(std::make_pair(subs[i], record.id));
    }
}

std::string BuildChannelPath(int32_t id, const StaticChannelTable& table) {
    std::string path;
    std::set<int32_t> seen;  // a table whose parent links loop still ends
    for (StaticChannelTable::const_iterator it = table.find(id); it != table.end() && seen.insert(it->first).second;
         it = table.find(it->second.parentid)) {
        if (it->second.parentid == 0) return "/" + path;
        path = FixedText(it->second.name) + "/" + path;
    }
    return std::string();
}

namespace {

typedef std::multimap<int32_t, const StaticChannelRecord*> children_t;

// Why the record cannot be made as a channel of the node; empty when it can be tried.
std::string Unusable(const StaticChannelRecord& record) {
    const std::string name = FixedText(record.name);
    if (name.empty()) return "The name is empty";
    if (name.find('/') != std::string::npos) return "The name holds a \"/\"";
    return std::string();
}

// The record and everything below it, as they stand in the table.
StaticChannelTable SubTree(const StaticChannelRecord& top, const children_t& childrenOf) {
    StaticChannelTable records;
    std::deque<const StaticChannelRecord*> queue(1, &top);
    while (!queue.empty()) {
        const StaticChannelRecord* record = queue.front();
        queue.pop_front();
        if (!records.insert(std::make_pair(record->id, *record)).second) continue;
        const auto children = childrenOf.equal_range(record->id);
        for (auto child = children.first; child != children.second; ++child) queue.push_back(child->second);
    }
    return records;
}

}  // namespace

SkippedStaticChannels ApplyStaticChannels(server::ServerNode& node, const StaticChannelTable& table) {
    SkippedStaticChannels skipped;
    const StaticChannelRecord* root = nullptr;
    children_t childrenOf;
    for (StaticChannelTable::const_iterator it = table.begin(); it != table.end(); ++it) {
        if (!root && it->second.parentid == 0) root = &it->second;
        else childrenOf.insert(std::make_pair(it->second.parentid, &it->second));
    }
    if (!root) return skipped;
    std::deque<const StaticChannelRecord*> queue(1, root);
    std::set<const StaticChannelRecord*> done;
    while (!queue.empty()) {
        const StaticChannelRecord* record = queue.front();
        queue.pop_front();
        if (!done.insert(record).second) continue;
        const std::string path = BuildChannelPath(record->id, table);
        if (record == root) {
            node.Channels().UserUpdateChannel("/", FixedText(record->password), FixedText(record->topic), true,
                                              record->diskquota);
        } else {
            std::string reason = Unusable(*record);
            if (reason.empty()) {
                const int result = node.Channels().UserMakeChannel(path, FixedText(record->password),
                                                                   FixedText(record->topic), true, record->diskquota);
                if (result != ERR_SUCCESS) reason = GetErrorMessage(result);
            }
            if (!reason.empty()) {
                skipped.push_back(SkippedStaticChannel{
                    path, reason, record->id, BuildChannelPath(record->parentid, table), SubTree(*record, childrenOf)});
                continue;
            }
        }
        const auto children = childrenOf.equal_range(record->id);
        for (auto child = children.first; child != children.second; ++child) queue.push_back(child->second);
    }
    return skipped;
}

void AddSkippedChannels(StaticChannelTable& table, const SkippedStaticChannels& skipped) {
    if (table.empty()) return;
    std::map<std::string, int32_t> idOfPath;
    for (StaticChannelTable::const_iterator it = table.begin(); it != table.end(); ++it)
        idOfPath[BuildChannelPath(it->first, table)] = it->first;
    int32_t lastId = table.rbegin()->first;
    for (const SkippedStaticChannel& channel : skipped) {
        const std::map<std::string, int32_t>::const_iterator parent = idOfPath.find(channel.parentPath);
        if (parent == idOfPath.end()) continue;
        // Parents come before their children in id order: each is renumbered first.
        std::map<int32_t, int32_t> newId;
        for (StaticChannelTable::const_iterator it = channel.records.begin(); it != channel.records.end(); ++it) {
            StaticChannelRecord record = it->second;
            record.parentid = it->first == channel.id ? parent->second : newId[record.parentid];
            record.id = newId[it->first] = ++lastId;
            table[record.id] = record;
        }
    }
}

void LoadSharedFiles(server::ServerNode& node, FilesList& filesList) {
    const std::string directory = node.Files().GetFilesRoot() + "/";
    filesList.BeginBatch();
    std::deque<serverchannel_t> queue(1, node.Channels().GetRootChannel());
    while (!queue.empty()) {
        const serverchannel_t channel = queue.front();
        queue.pop_front();
        // The list mirrors the tree: every channel gets its element.
        filesList.GetChannelElement(channel->GetChannelPath());
        std::vector<FileEntry> entries;
        filesList.ReadFileEntries(channel->GetChannelPath(), entries);
        for (size_t i = 0; i < entries.size(); ++i) {
            const int fd = open((directory + entries[i].internalname).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            close(fd);
            ChannelFile file;
            file.filename = entries[i].name;
            file.internalName = entries[i].internalname;
            file.filesize = entries[i].filesize;
            node.Files().AddFileToChannel(file, channel);
        }
        const server::ServerChannel::channels_t subs = channel->GetSubChannels();
        queue.insert(queue.end(), subs.begin(), subs.end());
    }
    filesList.EndBatch();
}

BanEntry ToBanEntry(const server::BanRecord& ban) {
    BanEntry entry{};
    CopyFixedText(entry.address, ban.ipAddress);
    entry.bantime = static_cast<int64_t>(ban.banTime.sec());
    CopyFixedText(entry.channelpath, ban.channelPath);
    entry.userid = ban.userId;
    CopyFixedText(entry.nickname, ban.nickname);
    return entry;
}

server::BanRecord ToBanRecord(const BanEntry& entry) {
    server::BanRecord ban;
    ban.userId = entry.userid;
    ban.nickname = FixedText(entry.nickname);
    ban.ipAddress = FixedText(entry.address);
    ban.channelPath = FixedText(entry.channelpath);
    ban.banTime = ACE_Time_Value(static_cast<time_t>(entry.bantime));
    return ban;
}

}  // namespace quorvane
