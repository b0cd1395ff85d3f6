// Every operation on the channel tree of the running server: join (which may create the
// channel), leave, make, update, remove, move a user, grant operator rights, and the
// removal of channels that became empty.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds). Re-entrancy: removing a channel kicks its users, and a kicked user's
// disconnection runs at once and may remove emptied channels (RemoveEmptyChannels)
// before the removal reaches them; the removal then skips what is already gone.
#ifndef QUORVANE_SERVER_CHANNELSERVICE_H
#define QUORVANE_SERVER_CHANNELSERVICE_H

#include <cstdint>
#include <string>

#include "server/ChannelTree.h"
#include "server/ServerChannel.h"
#include "server/ServerUser.h"
#include "settings/SettingsTable.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class Broadcaster;
class DepartureNews;
class FileStore;
class FloodLimits;
class SaveRequests;
class ServerNodeListener;
class ServerProperties;
class ServerStatistics;
class TransferTable;
class UserRegistry;

class ChannelService {
public:
    enum {
        DEFAULT_MAX_CHANNELS = SettingsTable::Default("max-channels"),
        MAX_CHANNEL_DEPTH = 32,
    };

    // The operations change tree; a removed channel's users are kicked and its transfers
    // (transfers) and files (files) go; departures records who left with their connection.
    ChannelService(ACE_Reactor* loop, ChannelTree& tree, UserRegistry& users, const ServerProperties& properties,
                   FloodLimits& limits, Broadcaster& broadcast, DepartureNews& departures, TransferTable& transfers,
                   FileStore& files, ServerStatistics& statistics, ServerNodeListener& listener, SaveRequests& saves);

    serverchannel_t GetRootChannel() const { return tree_.GetRootChannel(); }
    serverchannel_t FindChannel(const std::string& path) const { return tree_.FindChannel(path); }
    // The root's quota; setting it tells every logged-in user.
    void SetRootDiskQuota(int64_t quota);
    int64_t GetRootDiskQuota() const;
    // Channels besides the root, 0 meaning no limit.
    void SetMaxChannels(int value);
    int GetMaxChannels() const { return maxChannels_; }

    // Each answers an error code (0 on success) and changes nothing on failure.
    int UserJoinChannel(int userId, const std::string& path, const std::string& password, const std::string& topic);
    int UserLeaveChannel(const std::string& path, int userId);
    int UserMakeChannel(const std::string& path, const std::string& password, const std::string& topic, bool isStatic,
                        int64_t diskQuota);
    int UserUpdateChannel(const std::string& path, const std::string& password, const std::string& topic, bool isStatic,
                          int64_t diskQuota);
    int UserRemoveChannel(const std::string& path);
    int UserMoveUser(int userId, const std::string& srcPath, const std::string& destPath);
    int UserGrantOperator(const std::string& path, int userId);

    // Takes the leaving user out of its channel (and of the one it left with "leave"),
    // removes what became empty and revokes its operator rights.
    void UserGone(ServerUser& user);
    // Removes the channel and its empty non-static parents, bottom up, up to the first
    // one with users, sub-channels or the static flag.
    void RemoveEmptyChannels(serverchannel_t channel);

private:
    // ERR_SUCCESS, or why a channel at that depth cannot be added now.
    int CheckChannelLimits(size_t depth) const;
    // Whether the user may enter the channel with the password it gave.
    bool MayEnter(const ServerUser& user, const ServerChannel& channel, const std::string& password);
    // Kicks the channel's users, ends its transfers, deletes its files and takes it out of
    // the tree.
    void RemoveOne(const serverchannel_t& channel);

    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    ChannelTree& tree_;
    UserRegistry& users_;
    const ServerProperties& properties_;
    FloodLimits& limits_;
    Broadcaster& broadcast_;
    DepartureNews& departures_;
    TransferTable& transfers_;
    FileStore& files_;
    ServerStatistics& statistics_;
    ServerNodeListener& listener_;
    SaveRequests& saves_;
    int maxChannels_ = DEFAULT_MAX_CHANNELS;
};

}  // namespace server
}  // namespace quorvane

#endif
