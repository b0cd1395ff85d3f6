// ServerNode: the channel operations — join, leave, make, update, remove, move,
// operator rights — and the removal of channels that became empty.
#include <ace/Guard_T.h>

#include "network/SharedLine.h"
#include "protocol/ErrorCodes.h"
#include "protocol/PasswordCompare.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

namespace {

const char* const LOOPBACK_ADDRESS = "127.0.0.1";

}  // namespace

serverchannel_t ServerNode::FindChannel(const std::string& path) {
    NodeGuard guard(lock_);
    return FindChannelByPath(rootChannel_, path);
}

// Broadcasts go to every logged-in user in ascending id order. With thousands of users
// the line is built once per kind of receiver and queued on every connection by
// reference, not formatted and copied once per user.
void ServerNode::SendChannelLineToAll(const char* word, const serverchannel_t& channel) {
    std::unique_ptr<SharedLine> built[2];  // for users, for administrators
    for (ServerUser* const user : EveryUser()) {
        if (!user->IsLoggedIn()) continue;
        const int kind = user->IsAdmin() ? 1 : 0;
        if (!built[kind]) built[kind].reset(new SharedLine(ServerUser::ChannelLine(word, channel, kind == 1)));
        user->SendShared(*built[kind]);
    }
}

void ServerNode::NotifyAll(const std::vector<serveruser_t>& receivers, const std::string& text) {
    if (text.empty() || receivers.empty()) return;
    const SharedLine line(text);
    for (size_t i = 0; i < receivers.size(); ++i) receivers[i]->SendNotice(line);
}

void ServerNode::SendUpdateChannelToAll(const serverchannel_t& channel) { SendChannelLineToAll("updatechannel", channel); }

void ServerNode::SendAddChannelToAll(const serverchannel_t& channel) { SendChannelLineToAll("addchannel", channel); }

void ServerNode::SendRemoveChannelToAll(const serverchannel_t& channel) {
    const SharedLine line(ServerUser::PathLine("removechannel", channel));
    for (ServerUser* const user : EveryUser())
        if (user->IsLoggedIn()) user->SendShared(line);
}

int ServerNode::UserJoinChannel(int userId, const std::string& path, const std::string& password,
                                const std::string& topic) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;

    serverchannel_t channel = FindChannelByPath(rootChannel_, path);
    bool created = false;
    if (!channel && !SplitChannelPath(path).empty()) {
        if (!allowChannelCreation_) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        if (UserMakeChannel(path, password, topic, false, channelDiskQuota_) == ERR_CHANNEL_CREATION_NOT_ALLOWED)
            return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        channel = FindChannelByPath(rootChannel_, path);
        created = true;
    }
    if (!channel) return ERR_INCORRECT_CHANNEL_PASSWORD;
    if (user->GetIpAddress() != LOOPBACK_ADDRESS && !CheckPassword(user, password, channel->GetPassword()))
        return ERR_INCORRECT_CHANNEL_PASSWORD;

    const serverchannel_t previous = user->GetChannel();
    const std::vector<serveruser_t> admins = GetLoggedInAdmins();
    if (previous) {
        if (!previous->SameChannel(channel)) {
            UserLeaveChannel(previous->GetChannelPath(), userId);
        } else {
            NotifyAll(admins, ServerUser::RemoveUserLine(*user));
            previous->RemoveUser(userId);
        }
    }

    user->SendJoined(channel);
    user->SetChannel(channel);
    channel->AddUserAndNotify(userId, user);
    if (created && allowOperators_) {
        channel->AddOperator(userId);
        user->AddOperatorChannel(channel);
    }
    user->SendFiles(channel, false);
    user->SendDone();
    NotifyAll(admins, ServerUser::UserLine("adduser", *user));
    if (previous) RemoveEmptyChannels(previous);
    RemoveEmptyChannels(user->TakeLeftChannel());
    SendUpdateChannelToAll(channel);
    if (listener_) listener_->OnUserJoinedChannel(user, user->GetChannel());
    return ERR_SUCCESS;
}

int ServerNode::UserLeaveChannel(const std::string& path, int userId) {
    NodeGuard guard(lock_);
    const serverchannel_t channel = FindChannelByPath(rootChannel_, path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = GetUser(userId);
    if (!user || !channel->UserExists(userId)) return ERR_USER_NOT_FOUND;

    const std::vector<serveruser_t> admins = GetLoggedInAdmins();
    NotifyAll(GetLoggedInAdmins(), ServerUser::RemoveUserLine(*user));
    channel->RemoveUser(userId);
    user->SendLeft(channel);
    // A user that left is in no channel: without this its logout, voice and channel
    // messages would still go to the channel it left. The channel is remembered so
    // that it is still removed, once empty, at the user's next join or disconnection.
    if (channel->SameChannel(user->GetChannel())) {
        user->SetChannel(serverchannel_t());
        user->SetLeftChannel(channel);
    }
    SendUpdateChannelToAll(channel);
    return ERR_SUCCESS;
}

void ServerNode::RemoveEmptyChannels(serverchannel_t channel) {
    NodeGuard guard(lock_);
    while (channel && !channel->IsRootChannel()) {
        // A channel already removed must not take a newer one of the same path with it.
        if (FindChannelByPath(rootChannel_, channel->GetChannelPath()) != channel) return;
        if (channel->GetUsersCount() > 0 || channel->GetSubChannelsCount() > 0 || channel->IsStaticChannel()) return;
        const serverchannel_t parent = channel->GetParent();
        UserRemoveChannel(channel->GetChannelPath());
        channel = parent;
    }
}

int ServerNode::UserMakeChannel(const std::string& path, const std::string& password, const std::string& topic,
                                bool isStatic, int64_t diskQuota) {
    {
        NodeGuard guard(lock_);
        std::vector<std::string> names = SplitChannelPath(path);
        if (names.empty()) return ERR_SUCCESS;
        const std::string name = names.back();
        names.pop_back();
        serverchannel_t parent = rootChannel_;
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
        SendAddChannelToAll(channel);
        if (listener_) listener_->OnChannelCreated(channel);
    }
    if (saveOnChange_ && listener_) listener_->OnSaveConfiguration(*this);
    return ERR_SUCCESS;
}

int ServerNode::UserUpdateChannel(const std::string& path, const std::string& password, const std::string& topic,
                                  bool isStatic, int64_t diskQuota) {
    {
        NodeGuard guard(lock_);
        const serverchannel_t channel = FindChannelByPath(rootChannel_, path);
        if (!channel) return ERR_CHANNEL_NOT_FOUND;
        channel->SetTopic(topic);
        channel->SetMaxDiskUsage(diskQuota);
        // The root keeps its password and stays static whatever is asked.
        if (!channel->IsRootChannel()) {
            channel->SetPassword(password);
            channel->SetStaticChannel(isStatic);
            if (listener_) listener_->OnChannelUpdated(channel);
        }
        SendUpdateChannelToAll(channel);
    }
    if (saveOnChange_ && listener_) listener_->OnSaveConfiguration(*this);
    return ERR_SUCCESS;
}

int ServerNode::UserRemoveChannel(const std::string& path) {
    {
        NodeGuard guard(lock_);
        const serverchannel_t target = FindChannelByPath(rootChannel_, path);
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
            const std::vector<serveruser_t> users = channel->GetUsers();
            for (size_t i = 0; i < users.size(); ++i) UserKick(users[i]->GetUserID());
            const ServerChannel::files_t files = channel->GetFiles();
            for (size_t i = 0; i < files.size(); ++i) RemoveFileFromChannel(files[i].filename, channel);

            const serverchannel_t parent = channel->GetParent();
            // Kicking its last user may already have removed an emptied channel; it is
            // announced and reported once only.
            if (parent && parent->GetSubChannel(channel->GetName()) == channel) {
                SendRemoveChannelToAll(channel);
                parent->RemoveSubChannel(channel->GetName());
                if (listener_) listener_->OnChannelRemoved(channel);
            }
        }
    }
    if (saveOnChange_ && listener_) listener_->OnSaveConfiguration(*this);
    return ERR_SUCCESS;
}

int ServerNode::UserMoveUser(int userId, const std::string& srcPath, const std::string& destPath) {
    NodeGuard guard(lock_);
    const serverchannel_t source = FindChannelByPath(rootChannel_, srcPath);
    const serverchannel_t destination = FindChannelByPath(rootChannel_, destPath);
    if (!GetUser(userId)) return ERR_USER_NOT_FOUND;
    if (!source || !destination) return ERR_CHANNEL_NOT_FOUND;
    return UserJoinChannel(userId, destPath, destination->GetPassword(), destination->GetTopic());
}

int ServerNode::UserGrantOperator(const std::string& path, int userId) {
    NodeGuard guard(lock_);
    const serverchannel_t channel = FindChannelByPath(rootChannel_, path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    channel->AddOperator(userId);
    user->AddOperatorChannel(channel);
    SendUpdateChannelToAll(channel);
    return ERR_SUCCESS;
}

}  // namespace server
}  // namespace quorvane
