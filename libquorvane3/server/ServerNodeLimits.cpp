// ServerNode: the limits against floods and hostile clients — connections per address,
// the password lockout, the login timeout and the size of the channel tree.
#include <chrono>

#include <ace/Guard_T.h>
#include <ace/Reactor.h>

#include "network/StreamHandler.h"
#include "network/TimerHandler.h"
#include "protocol/ErrorCodes.h"
#include "protocol/PasswordCompare.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const ACE_Time_Value LOGIN_CHECK_PERIOD(1);

}  // namespace

bool ServerNode::AdmitConnection(int userId, StreamHandler* handler) {
    NodeGuard guard(lock_);
    ACE_INET_Addr peer;
    char text[INET6_ADDRSTRLEN + 1] = {0};
    if (handler->peer().get_remote_addr(peer) != 0 || !peer.get_host_addr(text, sizeof(text))) return false;
    return flood_.ConnectionOpened(userId, text, NowMs());
}

bool ServerNode::PasswordLockedOut(const serveruser_t& user) {
    NodeGuard guard(lock_);
    return flood_.IsLockedOut(flood_.AddressOf(user->GetUserID()), NowMs());
}

bool ServerNode::CountPassword(const serveruser_t& user, bool matched) {
    NodeGuard guard(lock_);
    if (!matched) flood_.PasswordFailed(flood_.AddressOf(user->GetUserID()), NowMs());
    return matched;
}

bool ServerNode::CheckPassword(const serveruser_t& user, const std::string& given, const std::string& stored) {
    if (stored.empty()) return PasswordsEqual(given, stored);
    return !PasswordLockedOut(user) && CountPassword(user, PasswordsEqual(given, stored));
}

int ServerNode::CheckChannelLimits(size_t depth) {
    NodeGuard guard(lock_);
    if (depth > MAX_CHANNEL_DEPTH) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
    if (maxChannels_ <= 0) return ERR_SUCCESS;
    // The root does not count; a walk of at most max-channels nodes per creation.
    int channels = 0;
    std::vector<serverchannel_t> queue(1, rootChannel_);
    for (size_t i = 0; i < queue.size(); ++i) {
        const ServerChannel::channels_t subs = queue[i]->GetSubChannels();
        channels += static_cast<int>(subs.size());
        if (channels >= maxChannels_) return ERR_CHANNEL_CREATION_NOT_ALLOWED;
        queue.insert(queue.end(), subs.begin(), subs.end());
    }
    return ERR_SUCCESS;
}

bool ServerNode::StartLimitTimer() {
    NodeGuard guard(lock_);
    TimerHandler* check = new TimerHandler(this, LOGIN_TIMER_ID);
    loginTimerId_ = reactor_->schedule_timer(check, 0, LOGIN_CHECK_PERIOD, LOGIN_CHECK_PERIOD);
    if (loginTimerId_ == -1) check->handle_close(ACE_INVALID_HANDLE, 0);  // frees it
    return loginTimerId_ != -1;
}

void ServerNode::StopLimitTimer() {
    NodeGuard guard(lock_);
    if (loginTimerId_ != -1) reactor_->cancel_timer(loginTimerId_, 0, 0);
    loginTimerId_ = -1;
    flood_.Clear();
}

void ServerNode::CheckLoginTimeouts() {
    NodeGuard guard(lock_);
    const int64_t now = NowMs();
    flood_.Prune(now);
    const std::vector<int> expired = flood_.TakeLoginExpired(now);
    for (size_t i = 0; i < expired.size(); ++i) {
        const serveruser_t user = GetUser(expired[i]);
        // A file transfer's data connection never logs in.
        if (!user || user->IsLoggedIn() || user->IsFileTransferActive()) continue;
        user->Disconnect();
    }
}

}  // namespace server
}  // namespace quorvane
