#include "server/ChannelService.h"

#include "network/ReactorThread.h"
#include "protocol/ErrorCodes.h"
#include "server/AccessPolicy.h"
#include "server/Broadcaster.h"
#include "server/DepartureNews.h"
#include "server/FileStore.h"
#include "server/FloodLimits.h"
#include "server/LineWriter.h"
#include "server/SaveRequests.h"
#include "server/ServerNodeListener.h"
#include "server/ServerProperties.h"
#include "server/ServerStatistics.h"
#include "server/TransferTable.h"
#include "server/TreeListing.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

ChannelService::ChannelService(ACE_Reactor* loop, ChannelTree& tree, UserRegistry& users,
                               const ServerProperties& properties, FloodLimits& limits, Broadcaster& broadcast,
                               DepartureNews& departures, TransferTable& transfers, FileStore& files,
                               ServerStatistics& statistics, ServerNodeListener& listener, SaveRequests& saves)
    : loop_(loop),
      tree_(tree),
      users_(users),
      properties_(properties),
      limits_(limits),
      broadcast_(broadcast),
      departures_(departures),
      transfers_(transfers),
      files_(files),
      statistics_(statistics),
      listener_(listener),
      saves_(saves) {}

void ChannelService::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

void ChannelService::SetRootDiskQuota(int64_t quota) {
    AssertLoopThread();
    const serverchannel_t root = tree_.GetRootChannel();
    root->SetMaxDiskUsage(quota);
    broadcast_.ChannelLineToAll("updatechannel", root);
}

int64_t ChannelService::GetRootDiskQuota() const { return tree_.GetRootChannel()->GetMaxDiskUsage(); }

void ChannelService::SetMaxChannels(int value) {
    AssertLoopThread();
    maxChannels_ = value;
}

bool ChannelService::MayEnter(const ServerUser& user, const ServerChannel& channel, const std::string& password) {
    if (AccessPolicy::TrustedLoopback(user, properties_)) return true;
    return limits_.CheckPassword(FloodGuard::CHANNEL_PASSWORD, user, password, channel.GetPassword());
}

int ChannelService::UserJoinChannel(int userId, const std::string& path, const std::string& password,
                                    const std::string& topic) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;

    serverchannel_t channel = FindChannel(path);
    bool created = false;
    if (!channel && !SplitChannelPath(path).empty()) {
        if (!properties_.GetAllowChannelCreation()) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        if (UserMakeChannel(path, password, topic, false, properties_.GetChannelDiskQuota()) ==
            ERR_CHANNEL_CREATION_NOT_ALLOWED)
            return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        channel = FindChannel(path);
        created = true;
    }
    if (!channel) return ERR_INCORRECT_CHANNEL_PASSWORD;
    if (!MayEnter(*user, *channel, password)) {
        SecurityEvent event{SecurityEvent::WRONG_CHANNEL_PASSWORD, user->GetPeerIpAddress(), user->GetNickname()};
        event.channel = channel->GetChannelPath();
        listener_.OnSecurityEvent(event);
        return ERR_INCORRECT_CHANNEL_PASSWORD;
    }

    const serverchannel_t previous = user->GetChannel();
    const std::vector<serveruser_t> admins = users_.GetLoggedInAdmins();
    if (previous) {
        if (!previous->SameChannel(channel)) {
            UserLeaveChannel(previous->GetChannelPath(), userId);
        } else {
            Broadcaster::Notify(admins, LineWriter::RemoveUser(*user));
            previous->RemoveUser(userId);
        }
    }

    user->SendNotice(LineWriter::Path("joined", *channel));
    user->SetChannel(channel);
    channel->AddUserAndNotify(userId, user);
    if (created && properties_.GetAllowOperators()) {
        channel->AddOperator(userId);
        user->AddOperatorChannel(channel);
    }
    TreeListing::SendFiles(*user, channel, false);
    user->SendLine(LineWriter::Done());
    Broadcaster::Notify(admins, LineWriter::User("adduser", *user));
    if (previous) RemoveEmptyChannels(previous);
    RemoveEmptyChannels(user->TakeLeftChannel());
    broadcast_.ChannelLineToAll("updatechannel", channel);
    listener_.OnUserJoinedChannel(user, user->GetChannel());
    return ERR_SUCCESS;
}

int ChannelService::UserLeaveChannel(const std::string& path, int userId) {
    AssertLoopThread();
    const serverchannel_t channel = FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = users_.GetUser(userId);
    if (!user || !channel->UserExists(userId)) return ERR_USER_NOT_FOUND;

    broadcast_.NotifyAdmins(LineWriter::RemoveUser(*user));
    channel->RemoveUser(userId);
    user->SendNotice(LineWriter::Path("left", *channel));
    // A user that left is in no channel: without this its logout, voice and channel
    // messages would still go to the channel it left. The channel is remembered so
    // that it is still removed, once empty, at the user's next join or disconnection.
    if (channel->SameChannel(user->GetChannel())) {
        user->SetChannel(serverchannel_t());
        user->SetLeftChannel(channel);
    }
    broadcast_.ChannelLineToAll("updatechannel", channel);
    return ERR_SUCCESS;
}

void ChannelService::RemoveEmptyChannels(serverchannel_t channel) {
    AssertLoopThread();
    while (channel && !channel->IsRootChannel()) {
        // A channel already removed must not take a newer one of the same path with it.
        if (FindChannel(channel->GetChannelPath()) != channel) return;
        if (channel->GetUsersCount() > 0 || channel->GetSubChannelsCount() > 0 || channel->IsStaticChannel()) return;
        const serverchannel_t parent = channel->GetParent();
        UserRemoveChannel(channel->GetChannelPath());
        channel = parent;
    }
}

void ChannelService::UserGone(ServerUser& user) {
    AssertLoopThread();
    const int userId = user.GetUserID();
    const serverchannel_t channel = user.GetChannel();
    if (channel) {
        // Told to the others with every other departure of the moment, in one piece each.
        departures_.Leave(user, channel);
        user.SetChannel(serverchannel_t());
        RemoveEmptyChannels(channel);
    }
    RemoveEmptyChannels(user.TakeLeftChannel());

    // Operator rights belong to the connection: drop them in the channels the user was
    // made operator of (not by walking every channel: a mass disconnection would cost
    // users times channels).
    const std::vector<serverchannel_t> operated = user.TakeOperatorChannels();
    for (size_t i = 0; i < operated.size(); ++i) {
        if (!operated[i]->IsOperator(userId)) continue;
        operated[i]->RemoveOperator(userId, false);
        if (tree_.Holds(operated[i])) departures_.Changed(operated[i]);
    }
    user.SetChannel(serverchannel_t());
}

int ChannelService::CheckChannelLimits(size_t depth) const {
    if (depth > MAX_CHANNEL_DEPTH) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
    // The root does not count; the statistics count every other channel as it comes and
    // goes, so that making thousands of static channels at start-up is no walk each.
    if (maxChannels_ > 0 && statistics_.Get(ServerStatistics::CHANNELS) >= maxChannels_)
        return ERR_CHANNEL_CREATION_NOT_ALLOWED;
    return ERR_SUCCESS;
}

int ChannelService::UserMakeChannel(const std::string& path, const std::string& password, const std::string& topic,
                                    bool isStatic, int64_t diskQuota) {
    AssertLoopThread();
    std::vector<std::string> names = SplitChannelPath(path);
    if (names.empty()) return ERR_SUCCESS;
    const std::string name = names.back();
    names.pop_back();
    serverchannel_t parent = tree_.GetRootChannel();
    for (size_t i = 0; i < names.size() && parent; ++i) parent = parent->GetSubChannel(names[i]);
    if (!parent) return ERR_CHANNEL_NOT_FOUND;
    if (parent->GetSubChannel(name)) return ERR_CHANNEL_ALREADY_EXISTS;
    const int limit = CheckChannelLimits(names.size() + 1);
    if (limit != ERR_SUCCESS) return limit;

    const serverchannel_t channel = std::make_shared<ServerChannel>(name);
    channel->SetParent(parent);
    parent->AddSubChannel(channel);
    channel->SetPassword(password);
    channel->SetTopic(topic);
    channel->SetStaticChannel(isStatic);
    channel->SetMaxDiskUsage(diskQuota);
    statistics_.Change(ServerStatistics::CHANNELS, 1);
    broadcast_.ChannelLineToAll("addchannel", channel);
    listener_.OnChannelCreated(channel);
    saves_.SaveIfSavingOnChange();
    return ERR_SUCCESS;
}

int ChannelService::UserUpdateChannel(const std::string& path, const std::string& password, const std::string& topic,
                                      bool isStatic, int64_t diskQuota) {
    AssertLoopThread();
    const serverchannel_t channel = FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    channel->SetTopic(topic);
    channel->SetMaxDiskUsage(diskQuota);
    // The root keeps its password and stays static whatever is asked.
    if (!channel->IsRootChannel()) {
        channel->SetPassword(password);
        channel->SetStaticChannel(isStatic);
        listener_.OnChannelUpdated(channel);
    }
    broadcast_.ChannelLineToAll("updatechannel", channel);
    saves_.SaveIfSavingOnChange();
    return ERR_SUCCESS;
}

int ChannelService::UserRemoveChannel(const std::string& path) {
    AssertLoopThread();
    const serverchannel_t target = FindChannel(path);
    if (!target) return ERR_CHANNEL_NOT_FOUND;

    // Bottom-up with an explicit stack; a channel seen the second time has had its
    // sub-channels handled, so it is treated as a leaf whatever remains below it.
    std::vector<std::pair<serverchannel_t, bool> > stack(1, std::make_pair(target, false));
    while (!stack.empty()) {
        const serverchannel_t channel = stack.back().first;
        const bool expanded = stack.back().second;
        stack.pop_back();
        if (!expanded && channel->GetSubChannelsCount() > 0) {
            stack.push_back(std::make_pair(channel, true));
            const ServerChannel::channels_t subs = channel->GetSubChannels();
            for (size_t i = 0; i < subs.size(); ++i) stack.push_back(std::make_pair(subs[i], false));
            continue;
        }
        RemoveOne(channel);
    }
    saves_.SaveIfSavingOnChange();
    return ERR_SUCCESS;
}

void ChannelService::RemoveOne(const serverchannel_t& channel) {
    const std::vector<serveruser_t> users = channel->GetUsers();
    for (size_t i = 0; i < users.size(); ++i) users[i]->Kick();
    transfers_.ChannelRemoved(channel);
    files_.RemoveChannelFiles(channel);

    const serverchannel_t parent = channel->GetParent();
    // Kicking its last user may already have removed an emptied channel; it is
    // announced and reported once only.
    if (parent && parent->GetSubChannel(channel->GetName()) == channel) {
        broadcast_.RemoveChannelToAll(channel);
        parent->RemoveSubChannel(channel->GetName());
        statistics_.Change(ServerStatistics::CHANNELS, -1);
        listener_.OnChannelRemoved(channel);
    }
}

int ChannelService::UserMoveUser(int userId, const std::string& srcPath, const std::string& destPath) {
    AssertLoopThread();
    const serverchannel_t source = FindChannel(srcPath);
    const serverchannel_t destination = FindChannel(destPath);
    if (!users_.GetUser(userId)) return ERR_USER_NOT_FOUND;
    if (!source || !destination) return ERR_CHANNEL_NOT_FOUND;
    return UserJoinChannel(userId, destPath, destination->GetPassword(), destination->GetTopic());
}

int ChannelService::UserGrantOperator(const std::string& path, int userId) {
    AssertLoopThread();
    const serverchannel_t channel = FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    channel->AddOperator(userId);
    user->AddOperatorChannel(channel);
    broadcast_.ChannelLineToAll("updatechannel", channel);
    return ERR_SUCCESS;
}

}  // namespace server
}  // namespace quorvane
