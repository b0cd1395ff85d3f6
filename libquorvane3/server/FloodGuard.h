// Per-address limits against floods: how many connections one IP address holds, wrong
// passwords and the lockout that follows them, and the connections still waiting to log
// in. Plain bookkeeping: it owns no socket and decides nothing on its own clock; every
// call gets the current time in milliseconds, so tests drive it without waiting.
//
// Threads: not thread safe; FloodLimits calls it on the main loop's thread.
#ifndef QUORVANE_SERVER_FLOODGUARD_H
#define QUORVANE_SERVER_FLOODGUARD_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "settings/SettingsTable.h"

namespace quorvane {
namespace server {

class FloodGuard {
public:
    enum {
        DEFAULT_MAX_CONNECTIONS_PER_ADDRESS = SettingsTable::Default("max-connections-per-address"),
        DEFAULT_PASSWORD_LOCKOUT = SettingsTable::Default("password-lockout"),
        DEFAULT_LOGIN_TIMEOUT_SECONDS = SettingsTable::Default("login-timeout"),
        DEFAULT_COMMAND_RATE = SettingsTable::Default("command-rate"),
        DEFAULT_COMMAND_BURST = SettingsTable::Default("command-burst"),
        DEFAULT_IPV6_PREFIX = SettingsTable::Default("ipv6-ban-prefix"),
        PASSWORD_WINDOW_MS = 60000,  // wrong passwords count within it, and a lockout lasts it
    };

    // 0 means no limit for each of them.
    void SetMaxConnectionsPerAddress(int value) { maxPerAddress_ = value; }
    void SetPasswordLockout(int value) { lockout_ = value; }
    void SetLoginTimeout(int seconds) { loginTimeoutMs_ = static_cast<int64_t>(seconds) * 1000; }
    int GetMaxConnectionsPerAddress() const { return maxPerAddress_; }
    int GetPasswordLockout() const { return lockout_; }
    int GetLoginTimeout() const { return static_cast<int>(loginTimeoutMs_ / 1000); }

    // Counts a new connection of the address; false (and not counted) when the address
    // already holds its limit.
    bool ConnectionOpened(int userId, const std::string& address, int64_t nowMs);
    // Forgets the connection's count; unknown ids are ignored.
    void ConnectionClosed(int userId);
    int ConnectionsOf(const std::string& address) const;
    // The address a connection was counted under; empty when unknown.
    std::string AddressOf(int userId) const;

    // The passwords an address may guess, each counted and locked apart, so that guesses at
    // one (a channel's, from behind the administrator's NAT) never lock another out.
    enum Door { SERVER_PASSWORD, ADMIN_PASSWORD, CHANNEL_PASSWORD };

    // Whether the address's attempts at that door are refused unchecked right now.
    bool IsLockedOut(Door door, const std::string& address, int64_t nowMs) const;
    // A wrong password at the door from the address; the one that reaches the limit
    // starts that door's lockout.
    void PasswordFailed(Door door, const std::string& address, int64_t nowMs);

    // The connections whose time to log in ran out; each is reported once. The caller
    // closes those still not logged in.
    std::vector<int> TakeLoginExpired(int64_t nowMs);
    // Forgets failures and lockouts that have expired, so the table stays bounded by
    // the addresses seen within the last window.
    void Prune(int64_t nowMs);
    // Every count and record (the node stopped).
    void Clear();

private:
    struct Failures {
        int count = 0;
        int64_t windowStart = 0;
        int64_t lockedUntil = 0;
    };

    int maxPerAddress_ = DEFAULT_MAX_CONNECTIONS_PER_ADDRESS;
    int lockout_ = DEFAULT_PASSWORD_LOCKOUT;
    int64_t loginTimeoutMs_ = int64_t{DEFAULT_LOGIN_TIMEOUT_SECONDS} * 1000;
    std::map<std::string, int> perAddress_;
    std::map<int, std::string> addressOf_;  // connection id -> counted address
    std::map<std::pair<Door, std::string>, Failures> failures_;
    std::deque<std::pair<int64_t, int> > pendingLogins_;  // (deadline, id), oldest first
};

}  // namespace server
}  // namespace quorvane

#endif
