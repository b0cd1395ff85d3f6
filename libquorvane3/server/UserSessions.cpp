#include "server/UserSessions.h"

#include "protocol/ErrorCodes.h"
#include "server/LineWriter.h"
#include "server/ServerNode.h"
#include "server/TreeListing.h"

namespace quorvane {
namespace server {

int UserSessions::UserLogin(int userId, const std::string& password) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    // Administrators never count; the candidate does.
    const int users = node_.Users().GetCountedUsers() + 1;
    if (users > node_.Properties().GetMaxUsers()) return ERR_MAX_USERS_EXCEEDED;
    if (node_.Bans().IsBanned(user->GetPeerIpAddress())) return ERR_SERVER_BANNED;
    if (!node_.Limits().CheckPassword(FloodGuard::SERVER_PASSWORD, *user, password,
                                      node_.Properties().GetServerPassword())) {
        SecurityEvent event{SecurityEvent::WRONG_SERVER_PASSWORD, user->GetPeerIpAddress(), user->GetNickname()};
        node_.ReportSecurity(event);
        return ERR_INCORRECT_SERVER_PASSWORD;
    }

    user->SendLine(LineWriter::Accepted(*user));
    user->SetLoggedIn(true);
    TreeListing::SendChannels(*user);
    node_.Statistics().CountLogin(users);
    if (ServerNodeListener* listener = node_.Listener()) listener->OnUserLoggedIn(user);
    return ERR_SUCCESS;
}

int UserSessions::UserLogout(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = user->GetChannel();
    if (channel) {
        const int result = node_.Channels().UserLeaveChannel(channel->GetChannelPath(), userId);
        if (result != ERR_SUCCESS) return result;
    }
    user->SendNotice(LineWriter::Word("loggedout"));
    user->SetLoggedIn(false);
    user->SetAdmin(false);
    return ERR_SUCCESS;
}

int UserSessions::UserUpdate(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = user->GetChannel();
    if (channel) channel->NotifyUserUpdate(user);
    return ERR_SUCCESS;
}

int UserSessions::UserKick(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    user->SetLoggedIn(false);
    user->Disconnect();
    return ERR_SUCCESS;
}

void UserSessions::UserLagging(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    ServerNodeListener* const listener = node_.Listener();
    node_.Statistics().Add(ServerStatistics::CLOSED_LAGGING);
    if (user && listener) listener->OnUserLagging(user);
}

void UserSessions::UserDisconnected(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return;
    if (ServerNodeListener* listener = node_.Listener()) listener->OnUserDisconnected(user);

    // From here on the voice path neither hears nor reaches this user.
    node_.Voice().Routes().Set(userId, voiceendpoint_t());
    user->SetLoggedIn(false);
    user->GetVoiceEndpoint()->ClearAddress();
    node_.Channels().UserGone(*user);
    node_.Transfers().DropTransfers(*user);
    node_.Limits().ConnectionClosed(userId);
    node_.Users().Remove(userId);
}

void UserSessions::CheckInactivity() {
    node_.AssertLoopThread();
    std::vector<serveruser_t> drop;
    const UserRegistry::users_t& users = node_.Users().All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it) {
        ServerUser& user = *it->second;
        // A running file transfer keeps its user, but the counter goes on.
        if (user.GetInactiveSeconds() < INACTIVITY_LIMIT_SECONDS || user.Transfer().IsActive())
            user.SetInactiveSeconds(user.GetInactiveSeconds() + INACTIVITY_STEP_SECONDS);
        else drop.push_back(it->second);
    }
    ServerNodeListener* const listener = node_.Listener();
    for (size_t i = 0; i < drop.size(); ++i) {
        node_.Statistics().Add(ServerStatistics::CLOSED_INACTIVE);
        if (listener) listener->OnUserDropped(drop[i]);
        drop[i]->Disconnect();
    }
}

void UserSessions::DisconnectAll() {
    node_.AssertLoopThread();
    const UserRegistry::users_t users = node_.Users().All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it) {
        it->second->SetLoggedIn(false);
        it->second->Disconnect();
    }
    // A user without a connection has nothing that would report its end.
    const UserRegistry::users_t left = node_.Users().All();
    for (UserRegistry::users_t::const_iterator it = left.begin(); it != left.end(); ++it)
        if (!it->second->FindStreamHandler()) UserDisconnected(it->first);
}

}  // namespace server
}  // namespace quorvane
