#include "server/UserSessions.h"

#include "network/ReactorThread.h"
#include "protocol/ErrorCodes.h"
#include "server/AdminAccount.h"
#include "server/BanTable.h"
#include "server/ChannelService.h"
#include "server/FileStore.h"
#include "server/FloodLimits.h"
#include "server/LineWriter.h"
#include "server/ServerNodeListener.h"
#include "server/ServerProperties.h"
#include "server/TransferTable.h"
#include "server/TreeListing.h"
#include "server/UserRegistry.h"
#include "server/VoiceRoutes.h"

namespace quorvane {
namespace server {

UserSessions::UserSessions(ACE_Reactor* loop, UserRegistry& users, const ServerProperties& properties,
                           const AdminAccount& admin, const BanTable& bans, FloodLimits& limits,
                           ChannelService& channels, ChannelTree& tree, TransferTable& transfers,
                           const FileStore& files, VoiceRoutes& routes, ServerStatistics& statistics,
                           ServerNodeListener& listener)
    : loop_(loop),
      users_(users),
      properties_(properties),
      admin_(admin),
      bans_(bans),
      limits_(limits),
      channels_(channels),
      tree_(tree),
      transfers_(transfers),
      files_(files),
      routes_(routes),
      statistics_(statistics),
      listener_(listener) {}

void UserSessions::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

int UserSessions::UserLogin(int userId, const std::string& password) {
    return Login(userId, false, std::string(), password);
}

int UserSessions::UserAdminLogin(int userId, const std::string& username, const std::string& password) {
    return Login(userId, true, username, password);
}

bool UserSessions::PasswordAccepted(const ServerUser& user, bool admin, const std::string& username,
                                    const std::string& password) {
    if (!admin)
        return limits_.CheckPassword(FloodGuard::SERVER_PASSWORD, user, password, properties_.GetServerPassword());
    return limits_.CheckAnswer(FloodGuard::ADMIN_PASSWORD, user, admin_.CheckAdminAccount(username, password));
}

int UserSessions::Login(int userId, bool admin, const std::string& username, const std::string& password) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    // Administrators never count; the candidate user does.
    const int counted = users_.GetCountedUsers() + 1;
    if (!admin && counted > properties_.GetMaxUsers()) return ERR_MAX_USERS_EXCEEDED;
    if (!admin && bans_.IsBanned(user->GetPeerIpAddress())) return ERR_SERVER_BANNED;
    if (!PasswordAccepted(*user, admin, username, password)) {
        listener_.OnSecurityEvent(
            admin ? SecurityEvent{SecurityEvent::WRONG_ADMIN_PASSWORD, user->GetPeerIpAddress(), username}
                  : SecurityEvent{SecurityEvent::WRONG_SERVER_PASSWORD, user->GetPeerIpAddress(), user->GetNickname()});
        return ERR_INCORRECT_SERVER_PASSWORD;
    }

    if (admin) {
        listener_.OnSecurityEvent(SecurityEvent{SecurityEvent::ADMIN_LOGIN, user->GetPeerIpAddress(), username});
        user->SetAdmin(true);
        user->SetLoggedIn(true);
        users_.AddAdmin(userId);
        user->SendLine(LineWriter::Ok());
    } else {
        user->SendLine(LineWriter::Accepted(*user));
        user->SetLoggedIn(true);
    }
    // The tree from the snapshot that listings share while it does not change.
    user->SendListing(std::unique_ptr<Listing>(new Listing(tree_.ChannelLines(user->IsAdmin()))));
    if (admin) {
        const serverchannel_t root = tree_.GetRootChannel();
        TreeListing::SendUsers(*user, root, true);
        TreeListing::SendFiles(*user, root, true);
        user->SendLine(LineWriter::FileShareInfo(files_.GetFilesRoot(), properties_.GetChannelDiskQuota()));
        return ERR_SUCCESS;
    }
    statistics_.CountLogin(counted);
    listener_.OnUserLoggedIn(user);
    return ERR_SUCCESS;
}

int UserSessions::UserLogout(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = user->GetChannel();
    if (channel) {
        const int result = channels_.UserLeaveChannel(channel->GetChannelPath(), userId);
        if (result != ERR_SUCCESS) return result;
    }
    user->SendNotice(LineWriter::Word("loggedout"));
    user->SetLoggedIn(false);
    user->SetAdmin(false);
    return ERR_SUCCESS;
}

int UserSessions::UserUpdate(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = user->GetChannel();
    if (channel) channel->NotifyUserUpdate(user);
    return ERR_SUCCESS;
}

int UserSessions::UserKick(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    user->Kick();
    return ERR_SUCCESS;
}

void UserSessions::UserLagging(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    statistics_.Add(ServerStatistics::CLOSED_LAGGING);
    if (user) listener_.OnUserLagging(user);
}

void UserSessions::UserDisconnected(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return;
    listener_.OnUserDisconnected(user);

    // From here on the voice path neither hears nor reaches this user.
    routes_.Set(userId, voiceendpoint_t());
    user->SetLoggedIn(false);
    user->GetVoiceEndpoint()->ClearAddress();
    channels_.UserGone(*user);
    transfers_.DropTransfers(*user);
    limits_.ConnectionClosed(userId);
    users_.Remove(userId);
}

void UserSessions::CheckInactivity() {
    AssertLoopThread();
    std::vector<serveruser_t> drop;
    const UserRegistry::users_t& users = users_.All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it) {
        ServerUser& user = *it->second;
        // A running file transfer keeps its user, but the counter goes on.
        if (user.GetInactiveSeconds() < INACTIVITY_LIMIT_SECONDS || user.Transfer().IsActive())
            user.SetInactiveSeconds(user.GetInactiveSeconds() + INACTIVITY_STEP_SECONDS);
        else drop.push_back(it->second);
    }
    for (size_t i = 0; i < drop.size(); ++i) {
        statistics_.Add(ServerStatistics::CLOSED_INACTIVE);
        listener_.OnUserDropped(drop[i]);
        drop[i]->Disconnect();
    }
}

void UserSessions::DisconnectAll() {
    AssertLoopThread();
    const UserRegistry::users_t users = users_.All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it) it->second->Kick();
    // A user without a connection has nothing that would report its end.
    const UserRegistry::users_t left = users_.All();
    for (UserRegistry::users_t::const_iterator it = left.begin(); it != left.end(); ++it)
        if (!it->second->FindStreamHandler()) UserDisconnected(it->first);
}

}  // namespace server
}  // namespace quorvane
