// The server's own values that clients see or that decide what they may do: name,
// password, message of the day, the allow flags, the user limit and the quota of
// channels that a join creates; and their change by the administrator.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_SERVERPROPERTIES_H
#define QUORVANE_SERVER_SERVERPROPERTIES_H

#include <cstdint>
#include <string>

#include "settings/SettingsTable.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class SaveRequests;
class UserRegistry;

class ServerProperties {
public:
    enum { DEFAULT_MAX_USERS = SettingsTable::Default("max-users") };

    // users hear of "updateserver"; saves keeps the change.
    ServerProperties(ACE_Reactor* loop, UserRegistry& users, SaveRequests& saves)
        : loop_(loop), users_(users), saves_(saves) {}

    void SetServerName(const std::string& name) { Set(serverName_, name); }
    void SetServerPassword(const std::string& password) { Set(serverPassword_, password); }
    void SetMotd(const std::string& motd) { Set(motd_, motd); }
    void SetAllowChannelCreation(bool value) { Set(allowChannelCreation_, value); }
    void SetAllowOperators(bool value) { Set(allowOperators_, value); }
    void SetMaxUsers(int maxUsers) { Set(maxUsers_, maxUsers); }
    void SetChannelDiskQuota(int64_t quota) { Set(channelDiskQuota_, quota); }
    // Whether clients on the server's own host enter protected channels without their
    // password (see AccessPolicy::TrustedLoopback).
    void SetTrustLoopback(bool value) { Set(trustLoopback_, value); }

    std::string GetServerName() const { return serverName_; }
    std::string GetServerPassword() const { return serverPassword_; }
    std::string GetMotd() const { return motd_; }
    bool GetAllowChannelCreation() const { return allowChannelCreation_; }
    bool GetAllowOperators() const { return allowOperators_; }
    int GetMaxUsers() const { return maxUsers_; }
    int64_t GetChannelDiskQuota() const { return channelDiskQuota_; }
    bool GetTrustLoopback() const { return trustLoopback_; }

    // The administrator's "updateserver": the values at once, "serverupdate" to every
    // connection that is not busy with a file, then a save when saving on change.
    void UserUpdateServer(const std::string& serverName, const std::string& password, const std::string& motd,
                          bool allowChannels, bool allowOperators);
    // The lines that carry these values.
    std::string WelcomeLine(int userId) const;
    std::string ServerUpdateLine() const;

private:
    template <class T>
    void Set(T& field, const T& value) {
        AssertLoopThread();
        field = value;
    }
    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    UserRegistry& users_;
    SaveRequests& saves_;
    std::string serverName_;
    std::string serverPassword_;
    std::string motd_;
    bool allowChannelCreation_ = true;
    bool allowOperators_ = true;
    int maxUsers_ = DEFAULT_MAX_USERS;
    int64_t channelDiskQuota_ = 0;
    bool trustLoopback_ = true;
};

}  // namespace server
}  // namespace quorvane

#endif
