// ServerNode: the administrator account, server and account updates, saving, kick and
// the ban table.
#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_time.h>

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "protocol/PasswordCompare.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

bool ServerNode::CheckAdminAccount(const std::string& username, const std::string& password) {
    NodeGuard guard(lock_);
    // Compare the password even when the name is wrong, so timing tells nothing.
    const bool passwordMatches = PasswordsEqual(password, adminPassword_);
    if (adminUsername_.empty() || adminPassword_.empty()) return false;
    return EqualsNoCase(username, adminUsername_) && passwordMatches;
}

int ServerNode::UserAdminLogin(int userId, const std::string& username, const std::string& password) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    if (PasswordLockedOut(user) || !CountPassword(user, CheckAdminAccount(username, password)))
        return ERR_INCORRECT_SERVER_PASSWORD;
    user->SetAdmin(true);
    user->SetLoggedIn(true);
    admins_.insert(userId);
    user->SendOk();
    user->SendChannels(rootChannel_);
    user->SendUsers(rootChannel_, true);
    user->SendFiles(rootChannel_, true);
    user->SendFileShareInfo(filesRoot_, channelDiskQuota_);
    return ERR_SUCCESS;
}

void ServerNode::UserUpdateAdmin(const std::string& username, const std::string& password) {
    {
        NodeGuard guard(lock_);
        adminUsername_ = username;
        adminPassword_ = password;
    }
    if (saveOnChange_ && listener_) listener_->OnSaveConfiguration(*this);
}

void ServerNode::UserUpdateServer(const std::string& serverName, const std::string& password,
                                  const std::string& motd, bool allowChannels, bool allowOperators) {
    {
        NodeGuard guard(lock_);
        serverName_ = serverName;
        serverPassword_ = password;
        motd_ = motd;
        allowChannelCreation_ = allowChannels;
        allowOperators_ = allowOperators;
        SendServerUpdateToAll();
    }
    if (saveOnChange_ && listener_) listener_->OnSaveConfiguration(*this);
}

void ServerNode::SendServerUpdateToAll() {
    // Copy first: a send that fails changes the user's flags, never the registry, but
    // the walk must not depend on that.
    const users_t users = users_;
    for (users_t::const_iterator it = users.begin(); it != users.end(); ++it)
        if (!it->second->IsFileTransferActive())
            it->second->SendServerUpdate(serverName_, motd_, allowChannelCreation_, allowOperators_);
}

void ServerNode::UserSaveConfig() {
    if (listener_) listener_->OnSaveConfiguration(*this);
}

int ServerNode::UserKick(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    // The close is deferred while the connection's own callback runs (a user kicking
    // itself), and reported back through UserDisconnected.
    user->SetLoggedIn(false);
    user->Disconnect();
    return ERR_SUCCESS;
}

void ServerNode::AddBan(const std::string& address, const BanRecord& ban) {
    NodeGuard guard(lock_);
    bans_[address] = ban;
}

bool ServerNode::IsBanned(const std::string& address) {
    NodeGuard guard(lock_);
    return bans_.count(address) != 0;
}

void ServerNode::RemoveBan(const std::string& address) {
    NodeGuard guard(lock_);
    bans_.erase(address);
}

ServerNode::bans_t ServerNode::GetBans() {
    NodeGuard guard(lock_);
    return bans_;
}

int ServerNode::UserBan(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    BanRecord ban;
    ban.userId = userId;
    ban.nickname = user->GetNickname();
    ban.ipAddress = user->GetIpAddress();
    const serverchannel_t channel = user->GetChannel();
    if (channel) ban.channelPath = channel->GetChannelPath();
    ban.banTime = ACE_OS::gettimeofday();
    // The user stays connected; the ban is tested at its next login.
    AddBan(ban.ipAddress, ban);
    return ERR_SUCCESS;
}

int ServerNode::UserUnban(const std::string& address) {
    NodeGuard guard(lock_);
    if (!IsBanned(address)) return ERR_BAN_NOT_FOUND;
    RemoveBan(address);
    return ERR_SUCCESS;
}

int ServerNode::UserListBans(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_SUCCESS;
    for (bans_t::const_iterator it = bans_.begin(); it != bans_.end(); ++it) user->SendUserBanned(it->second);
    user->SendDone();
    return ERR_SUCCESS;
}

}  // namespace server
}  // namespace quorvane
