#include "server/ChannelService.h"

#include "protocol/ErrorCodes.h"
#include "server/AccessPolicy.h"
#include "server/LineWriter.h"
#include "server/ServerNode.h"
#include "server/TreeListing.h"

namespace quorvane {
namespace server {

ChannelService::ChannelService(ServerNode& node) : node_(node), root_(std::make_shared<ServerChannel>()) {
    root_->SetStaticChannel(true);
}

serverchannel_t ChannelService::FindChannel(const std::string& path) const {
    node_.AssertLoopThread();
    return FindChannelByPath(root_, path);
}

void ChannelService::SetRootDiskQuota(int64_t quota) {
    node_.AssertLoopThread();
    root_->SetMaxDiskUsage(quota);
    node_.Broadcast().ChannelLineToAll("updatechannel", root_);
}

int64_t ChannelService::GetRootDiskQuota() const { return root_->GetMaxDiskUsage(); }

void ChannelService::SetMaxChannels(int value) {
    node_.AssertLoopThread();
    maxChannels_ = value;
}

bool ChannelService::MayEnter(const ServerUser& user, const ServerChannel& channel, const std::string& password) {
    if (AccessPolicy::TrustedLoopback(user)) return true;
    return node_.Limits().CheckPassword(FloodGuard::CHANNEL_PASSWORD, user, password, channel.GetPassword());
}

int ChannelService::UserJoinChannel(int userId, const std::string& path, const std::string& password,
                                    const std::string& topic) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;

    serverchannel_t channel = FindChannel(path);
    bool created = false;
    if (!channel && !SplitChannelPath(path).empty()) {
        const ServerProperties& properties = node_.Properties();
        if (!properties.GetAllowChannelCreation()) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        if (UserMakeChannel(path, password, topic, false, properties.GetChannelDiskQuota()) ==
            ERR_CHANNEL_CREATION_NOT_ALLOWED)
            return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        channel = FindChannel(path);
        created = true;
    }
    if (!channel) return ERR_INCORRECT_CHANNEL_PASSWORD;
    if (!MayEnter(*user, *channel, password)) {
        SecurityEvent event{SecurityEvent::WRONG_CHANNEL_PASSWORD, user->GetPeerIpAddress(), user->GetNickname()};
        event.channel = channel->GetChannelPath();
        node_.ReportSecurity(event);
        return ERR_INCORRECT_CHANNEL_PASSWORD;
    }

    const serverchannel_t previous = user->GetChannel();
    const std::vector<serveruser_t> admins = node_.Users().GetLoggedInAdmins();
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
    if (created && node_.Properties().GetAllowOperators()) {
        channel->AddOperator(userId);
        user->AddOperatorChannel(channel);
    }
    TreeListing::SendFiles(*user, channel, false);
    user->SendLine(LineWriter::Done());
    Broadcaster::Notify(admins, LineWriter::User("adduser", *user));
    if (previous) RemoveEmptyChannels(previous);
    RemoveEmptyChannels(user->TakeLeftChannel());
    node_.Broadcast().ChannelLineToAll("updatechannel", channel);
    if (ServerNodeListener* listener = node_.Listener()) listener->OnUserJoinedChannel(user, user->GetChannel());
    return ERR_SUCCESS;
}

int ChannelService::UserLeaveChannel(const std::string& path, int userId) {
    node_.AssertLoopThread();
    const serverchannel_t channel = FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user || !channel->UserExists(userId)) return ERR_USER_NOT_FOUND;

    node_.Broadcast().NotifyAdmins(LineWriter::RemoveUser(*user));
    channel->RemoveUser(userId);
    user->SendNotice(LineWriter::Path("left", *channel));
    // A user that left is in no channel: without this its logout, voice and channel
    // messages would still go to the channel it left. The channel is remembered so
    // that it is still removed, once empty, at the user's next join or disconnection.
    if (channel->SameChannel(user->GetChannel())) {
        user->SetChannel(serverchannel_t());
        user->SetLeftChannel(channel);
    }
    node_.Broadcast().ChannelLineToAll("updatechannel", channel);
    return ERR_SUCCESS;
}

void ChannelService::RemoveEmptyChannels(serverchannel_t channel) {
    node_.AssertLoopThread();
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
    node_.AssertLoopThread();
    const int userId = user.GetUserID();
    const serverchannel_t channel = user.GetChannel();
    if (channel) {
        // Told to the others with every other departure of the moment, in one piece each.
        node_.Departures().Leave(user, channel);
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
        if (FindChannel(operated[i]->GetChannelPath()) == operated[i]) node_.Departures().Changed(operated[i]);
    }
    user.SetChannel(serverchannel_t());
}

std::shared_ptr<const Listing::Lines> ChannelService::ChannelLines(bool forAdmin) {
    node_.AssertLoopThread();
    const int view = forAdmin ? 1 : 0;
    std::shared_ptr<const Listing::Lines> lines = snapshots_[view].lock();
    if (lines && snapshotGenerations_[view] == ServerChannel::Generation()) return lines;
    lines = std::make_shared<const Listing::Lines>(TreeListing::ChannelLines(root_, forAdmin));
    snapshots_[view] = lines;
    snapshotGenerations_[view] = ServerChannel::Generation();
    return lines;
}

int ChannelService::CheckChannelLimits(size_t depth) const {
    if (depth > MAX_CHANNEL_DEPTH) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
    // The root does not count; the statistics count every other channel as it comes and
    // goes, so that making thousands of static channels at start-up is no walk each.
    if (maxChannels_ > 0 && node_.Statistics().Get(ServerStatistics::CHANNELS) >= maxChannels_)
        return ERR_CHANNEL_CREATION_NOT_ALLOWED;
    return ERR_SUCCESS;
}

int ChannelService::UserMakeChannel(const std::string& path, const std::string& password, const std::string& topic,
                                    bool isStatic, int64_t diskQuota) {
    node_.AssertLoopThread();
    std::vector<std::string> names = SplitChannelPath(path);
    if (names.empty()) return ERR_SUCCESS;
    const std::string name = names.back();
    names.pop_back();
    serverchannel_t parent = root_;
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
    node_.Statistics().Change(ServerStatistics::CHANNELS, 1);
    node_.Broadcast().ChannelLineToAll("addchannel", channel);
    if (ServerNodeListener* listener = node_.Listener()) listener->OnChannelCreated(channel);
    node_.SaveIfSavingOnChange();
    return ERR_SUCCESS;
}

int ChannelService::UserUpdateChannel(const std::string& path, const std::string& password, const std::string& topic,
                                      bool isStatic, int64_t diskQuota) {
    node_.AssertLoopThread();
    const serverchannel_t channel = FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    channel->SetTopic(topic);
    channel->SetMaxDiskUsage(diskQuota);
    // The root keeps its password and stays static whatever is asked.
    if (!channel->IsRootChannel()) {
        channel->SetPassword(password);
        channel->SetStaticChannel(isStatic);
        if (ServerNodeListener* listener = node_.Listener()) listener->OnChannelUpdated(channel);
    }
    node_.Broadcast().ChannelLineToAll("updatechannel", channel);
    node_.SaveIfSavingOnChange();
    return ERR_SUCCESS;
}

int ChannelService::UserRemoveChannel(const std::string& path) {
    node_.AssertLoopThread();
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
    node_.SaveIfSavingOnChange();
    return ERR_SUCCESS;
}

void ChannelService::RemoveOne(const serverchannel_t& channel) {
    const std::vector<serveruser_t> users = channel->GetUsers();
    for (size_t i = 0; i < users.size(); ++i) node_.Sessions().UserKick(users[i]->GetUserID());
    node_.Transfers().ChannelRemoved(channel);
    node_.Files().RemoveChannelFiles(channel);

    const serverchannel_t parent = channel->GetParent();
    // Kicking its last user may already have removed an emptied channel; it is
    // announced and reported once only.
    if (parent && parent->GetSubChannel(channel->GetName()) == channel) {
        node_.Broadcast().RemoveChannelToAll(channel);
        parent->RemoveSubChannel(channel->GetName());
        node_.Statistics().Change(ServerStatistics::CHANNELS, -1);
        if (ServerNodeListener* listener = node_.Listener()) listener->OnChannelRemoved(channel);
    }
}

int ChannelService::UserMoveUser(int userId, const std::string& srcPath, const std::string& destPath) {
    node_.AssertLoopThread();
    const serverchannel_t source = FindChannel(srcPath);
    const serverchannel_t destination = FindChannel(destPath);
    if (!node_.Users().GetUser(userId)) return ERR_USER_NOT_FOUND;
    if (!source || !destination) return ERR_CHANNEL_NOT_FOUND;
    return UserJoinChannel(userId, destPath, destination->GetPassword(), destination->GetTopic());
}

int ChannelService::UserGrantOperator(const std::string& path, int userId) {
    node_.AssertLoopThread();
    const serverchannel_t channel = FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    channel->AddOperator(userId);
    user->AddOperatorChannel(channel);
    node_.Broadcast().ChannelLineToAll("updatechannel", channel);
    return ERR_SUCCESS;
}

}  // namespace server
}  // namespace quorvane
