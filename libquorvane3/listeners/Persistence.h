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

// The channel tree breadth-first into a table (root id 1); with staticOnly a non-static
// channel is left out together with everything below it.
void CollectStaticChannels(const server::serverchannel_t& root, StaticChannelTable& table, bool staticOnly);
// The table into channels of the node, parents first; the root record sets only the
// root's topic and quota. A channel that cannot be made is skipped with its sub-tree.
void ApplyStaticChannels(server::ServerNode& node, const StaticChannelTable& table);
// "/" for the root, "/a/b/" for b under a; empty when the id is unknown.
std::string BuildChannelPath(int32_t id, const StaticChannelTable& table);
// Offers every listed file whose data file can be read, channel by channel; files whose
// data is gone stay listed but are not offered. Saves the files list once.
void LoadSharedFiles(server::ServerNode& node, FilesList& filesList);

BanEntry ToBanEntry(const server::BanRecord& ban);
server::BanRecord ToBanRecord(const BanEntry& entry);

}  // namespace quorvane

#endif
