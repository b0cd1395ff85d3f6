#include "server/FloodLimits.h"

#include <chrono>

#include "network/ReactorThread.h"
#include "network/StreamHandler.h"
#include "protocol/PasswordCompare.h"
#include "server/CommandRate.h"
#include "server/ServerNodeListener.h"
#include "server/ServerStatistics.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void FloodLimits::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

void FloodLimits::SetMaxConnectionsPerAddress(int value) {
    AssertLoopThread();
    guard_.SetMaxConnectionsPerAddress(value);
}

void FloodLimits::SetPasswordLockout(int value) {
    AssertLoopThread();
    guard_.SetPasswordLockout(value);
}

void FloodLimits::SetLoginTimeout(int seconds) {
    AssertLoopThread();
    guard_.SetLoginTimeout(seconds);
}

void FloodLimits::SetIpv6Prefix(int bits) {
    AssertLoopThread();
    ipv6Prefix_ = bits;
}

std::string FloodLimits::CountedAs(const IpAddress& address) const {
    if (address.IsV4() || ipv6Prefix_ >= IpAddress::BITS) return address.Text();
    return address.Prefix(ipv6Prefix_).Text() + "/" + std::to_string(ipv6Prefix_);
}

void FloodLimits::SetCommandRate(int perSecond, int burst) {
    AssertLoopThread();
    rate_.Set(perSecond, burst);
}

int FloodLimits::GetCommandRate() const { return rate_.PerSecond(); }

int FloodLimits::GetCommandBurst() const { return rate_.Burst(); }

bool FloodLimits::AdmitConnection(int userId, StreamHandler& handler) {
    AssertLoopThread();
    return Admit(userId, handler);
}

bool FloodLimits::AdmitHandshake(StreamHandler& handler) {
    AssertLoopThread();
    lastHandshakeKey_ = lastHandshakeKey_ <= -(1 << 30) ? -1 : lastHandshakeKey_ - 1;
    if (!Admit(lastHandshakeKey_, handler)) return false;
    handshakes_[&handler] = lastHandshakeKey_;
    return true;
}

void FloodLimits::HandshakeEnded(const StreamHandler& handler) {
    AssertLoopThread();
    const std::map<const StreamHandler*, int>::iterator it = handshakes_.find(&handler);
    if (it == handshakes_.end()) return;
    guard_.ConnectionClosed(it->second);
    handshakes_.erase(it);
}

bool FloodLimits::Admit(int key, StreamHandler& handler) {
    ACE_INET_Addr peer;
    IpAddress address;
    if (handler.peer().get_remote_addr(peer) != 0 || !IpAddress::FromAce(peer, address)) return false;
    if (guard_.ConnectionOpened(key, CountedAs(address), NowMs())) return true;
    statistics_.Add(ServerStatistics::CLOSED_ADDRESS_LIMIT);
    return false;
}

void FloodLimits::ConnectionClosed(int userId) {
    AssertLoopThread();
    guard_.ConnectionClosed(userId);
}

bool FloodLimits::CheckAnswer(FloodGuard::Door door, const ServerUser& user, bool matched) {
    AssertLoopThread();
    const std::string address = guard_.AddressOf(user.GetUserID());
    const int64_t now = NowMs();
    if (guard_.IsLockedOut(door, address, now)) return false;
    if (matched) return true;
    guard_.PasswordFailed(door, address, now);
    if (guard_.IsLockedOut(door, address, now)) {
        statistics_.Add(ServerStatistics::PASSWORD_LOCKOUTS);
        // The address, or for an IPv6 network the address whose guess began its lockout
        // (which fail2ban bans).
        SecurityEvent event{SecurityEvent::LOCKOUT,
                            address.find('/') == std::string::npos ? address : user.GetPeerIpAddress()};
        event.attempts = guard_.GetPasswordLockout();
        event.seconds = FloodGuard::PASSWORD_WINDOW_MS / 1000;
        listener_.OnSecurityEvent(event);
    }
    return false;
}

bool FloodLimits::CheckPassword(FloodGuard::Door door, const ServerUser& user, const std::string& given,
                                const std::string& stored) {
    if (stored.empty()) return PasswordsEqual(given, stored);
    return CheckAnswer(door, user, PasswordsEqual(given, stored));
}

void FloodLimits::CheckLoginTimeouts() {
    AssertLoopThread();
    const int64_t now = NowMs();
    guard_.Prune(now);
    const std::vector<int> expired = guard_.TakeLoginExpired(now);
    for (size_t i = 0; i < expired.size(); ++i) {
        const serveruser_t user = users_.GetUser(expired[i]);
        if (!user || user->IsLoggedIn() || user->Transfer().IsActive()) continue;
        statistics_.Add(ServerStatistics::CLOSED_LOGIN_TIMEOUT);
        user->Disconnect();
    }
}

void FloodLimits::Clear() {
    AssertLoopThread();
    guard_.Clear();
    handshakes_.clear();
}

}  // namespace server
}  // namespace quorvane
