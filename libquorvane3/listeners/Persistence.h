// Moves what the three XML files keep between them and the running server: static
// channels, shared files and bans, at start-up and when the configuration is saved.
#ifndef QUORVANE_LISTENERS_PERSISTENCE_H
#define QUORVANE_LISTENERS_PERSISTENCE_H

#include <string>
#include <vector>

#include "server/BanRecord.h"
#include "server/ServerUser.h"
#include "settings/BanEntry.h"
#include "settings/StaticChannelRecord.h"

namespace quorvane {

class FilesList;

namespace server {
class ServerNode;
}

// A static channel of the settings file that could not be made, with the records of
// everything below it: kept, so that saves write it back where it stood.
struct SkippedStaticChannel {
    std::string path;
    std::string reason;
    int32_t id;                  // its record's id in records
    std::string parentPath;      // the channel it stands under
    StaticChannelTable records;  // its record and those below it, ids as read
};
typedef std::vector<SkippedStaticChannel> SkippedStaticChannels;

// The channel tree breadth-first into a table (root id 1); with staticOnly a non-static
// channel is left out together with everything below it.
void CollectStaticChannels(const server::serverchannel_t& root, StaticChannelTable& table, bool staticOnly);
// The table into channels of the node, parents first; the root record sets only the
// root's topic and quota. A channel that cannot be made (a name that is empty, holds a
// "/" or a text the files cannot hold, one taken, the channel limit) is skipped with its
// sub-tree and answered.
SkippedStaticChannels ApplyStaticChannels(server::ServerNode& node, const StaticChannelTable& table);
// Adds the skipped channels to a table collected for a save, each under the channel of
// its parent's path, after the channels there. One whose parent is no longer in the
// table is left out: removing the parent (or making it non-static) would have taken it
// along had it been made.
void AddSkippedChannels(StaticChannelTable& table, const SkippedStaticChannels& skipped);
// "/" for the root, "/a/b/" for b under a; empty when the id is unknown.
std::string BuildChannelPath(int32_t id, const StaticChannelTable& table);
// Offers every listed file whose data file can be read, channel by channel; files whose
// data is gone stay listed but are not offered. Saves the files list once.
void LoadSharedFiles(server::ServerNode& node, FilesList& filesList);

BanEntry ToBanEntry(const server::BanRecord& ban);
server::BanRecord ToBanRecord(const BanEntry& entry);

}  // namespace quorvane

#endif
