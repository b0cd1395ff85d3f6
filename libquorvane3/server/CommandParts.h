// What the command handlers reach: the node builds it once and CommandTable hands it to
// each handler through CommandContext. The handlers are the top of the server, each using
// a few parts, and the table calls them all with one signature: a struct of references
// gives each the parts it names without a node, and holds no behaviour of its own.
#ifndef QUORVANE_SERVER_COMMANDPARTS_H
#define QUORVANE_SERVER_COMMANDPARTS_H

namespace quorvane {
namespace server {

class AdminAccount;
class BanTable;
class ChannelService;
class ChannelTree;
class FileStore;
class SaveRequests;
class ServerNodeListener;
class ServerProperties;
class ServerStatistics;
class TextMessages;
class TransferTable;
class UserRegistry;
class UserSessions;

struct CommandParts {
    UserRegistry& users;
    UserSessions& sessions;
    const ChannelTree& tree;
    ChannelService& channels;
    ServerProperties& properties;
    AdminAccount& admin;
    BanTable& bans;
    TextMessages& messages;
    FileStore& files;
    TransferTable& transfers;
    ServerStatistics& statistics;
    ServerNodeListener& listener;  // told of kicks, bans and unbans
    SaveRequests& saves;
};

}  // namespace server
}  // namespace quorvane

#endif
