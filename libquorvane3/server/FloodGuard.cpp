#include "server/FloodGuard.h"

namespace quorvane {
namespace server {

bool FloodGuard::ConnectionOpened(int userId, const std::string& address, int64_t nowMs) {
    int& count = perAddress_[address];
    if (maxPerAddress_ > 0 && count >= maxPerAddress_) {
        if (count == 0) perAddress_.erase(address);
        return false;
    }
    ++count;
    addressOf_[userId] = address;
    // Without a timeout nothing waits for its deadline, so the queue stays empty.
    if (loginTimeoutMs_ > 0) pendingLogins_.push_back(std::make_pair(nowMs + loginTimeoutMs_, userId));
    return true;
}

void FloodGuard::ConnectionClosed(int userId) {
    const std::map<int, std::string>::iterator it = addressOf_.find(userId);
    if (it == addressOf_.end()) return;
    const std::map<std::string, int>::iterator count = perAddress_.find(it->second);
    if (count != perAddress_.end() && --count->second <= 0) perAddress_.erase(count);
    addressOf_.erase(it);
}

int FloodGuard::ConnectionsOf(const std::string& address) const {
    const std::map<std::string, int>::const_iterator it = perAddress_.find(address);
    return it == perAddress_.end() ? 0 : it->second;
}

std::string FloodGuard::AddressOf(int userId) const {
    const std::map<int, std::string>::const_iterator it = addressOf_.find(userId);
    return it == addressOf_.end() ? std::string() : it->second;
}

bool FloodGuard::IsLockedOut(Door door, const std::string& address, int64_t nowMs) const {
    if (lockout_ <= 0) return false;
    const auto it = failures_.find(std::make_pair(door, address));
    return it != failures_.end() && nowMs < it->second.lockedUntil;
}

void FloodGuard::PasswordFailed(Door door, const std::string& address, int64_t nowMs) {
    if (lockout_ <= 0) return;
    Failures& record = failures_[std::make_pair(door, address)];
    if (record.count == 0 || nowMs - record.windowStart >= PASSWORD_WINDOW_MS) {
        record.count = 0;
        record.windowStart = nowMs;
    }
    if (++record.count >= lockout_) {
        record.lockedUntil = nowMs + PASSWORD_WINDOW_MS;
        record.count = 0;
    }
}

std::vector<int> FloodGuard::TakeLoginExpired(int64_t nowMs) {
    std::vector<int> expired;
    // Connections that were closed meanwhile are dropped from the queue here as well,
    // so it never holds more than the connections of the last timeout.
    while (!pendingLogins_.empty() && (pendingLogins_.front().first <= nowMs ||
                                       addressOf_.find(pendingLogins_.front().second) == addressOf_.end())) {
        const int id = pendingLogins_.front().second;
        if (addressOf_.find(id) != addressOf_.end()) expired.push_back(id);
        pendingLogins_.pop_front();
    }
    return expired;
}

void FloodGuard::Prune(int64_t nowMs) {
    for (auto it = failures_.begin(); it != failures_.end();) {
        const bool windowOver = nowMs - it->second.windowStart >= PASSWORD_WINDOW_MS;
        if (windowOver && nowMs >= it->second.lockedUntil) it = failures_.erase(it);
        else ++it;
    }
}

void FloodGuard::Clear() {
    perAddress_.clear();
    addressOf_.clear();
    failures_.clear();
    pendingLogins_.clear();
}

}  // namespace server
}  // namespace quorvane
