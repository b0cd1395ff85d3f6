// A user's way through the server: login (as a user, or as the administrator), logout,
// updates of its nickname or status, kicks, inactivity and lag, and its disconnection,
// which every way out ends in.
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_USERSESSIONS_H
#define QUORVANE_SERVER_USERSESSIONS_H

#include <string>

#include "server/UserEvents.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class AdminAccount;
class BanTable;
class ChannelService;
class ChannelTree;
class FileStore;
class FloodLimits;
class ServerNodeListener;
class ServerProperties;
class ServerStatistics;
class ServerUser;
class TransferTable;
class UserRegistry;
class VoiceRoutes;

class UserSessions : public UserEvents {
public:
    enum {
        INACTIVITY_STEP_SECONDS = 30,
        INACTIVITY_LIMIT_SECONDS = 180,
    };

    // A login checks the properties, the administrator's account, the bans and the
    // password lockout (limits), and sends the tree and for the administrator its files
    // (files); a user's end leaves its channel (channels), its transfers and its voice route.
    UserSessions(ACE_Reactor* loop, UserRegistry& users, const ServerProperties& properties, const AdminAccount& admin,
                 const BanTable& bans, FloodLimits& limits, ChannelService& channels, ChannelTree& tree,
                 TransferTable& transfers, const FileStore& files, VoiceRoutes& routes, ServerStatistics& statistics,
                 ServerNodeListener& listener);

    // The login of a connection that sent its voice hello: the user limit, bans and the
    // server password; then "accepted" and the channel tree.
    int UserLogin(int userId, const std::string& password);
    // The administrator's: its account; then "ok" and the whole tree with its users and
    // files. Wrong credentials count against the address's password lockout.
    int UserAdminLogin(int userId, const std::string& username, const std::string& password);
    // Leaves the user's channel and logs it out; the connection stays open.
    int UserLogout(int userId);
    // The user's nickname or status changed: its channel hears of it.
    int UserUpdate(int userId);
    // Logs the user out and closes its connection; the disconnection follows at once,
    // or once the connection's own callback (a user kicking itself) has returned.
    int UserKick(int userId);
    // The connection closed: takes the user out of its channel and its transfers and
    // forgets it. Unknown ids are ignored.
    void UserDisconnected(int userId) override;
    // The user's output was full: its connection closes on a later turn.
    void UserLagging(int userId) override;
    // Every 30 s: drops the users silent for 180 s, unless a transfer of theirs runs.
    void CheckInactivity();
    // Disconnects every user (the server stops).
    void DisconnectAll();

private:
    // Both logins: the steps they share, a user's own (the user limit, bans) and the
    // administrator's (its listing of users and files) where they differ.
    int Login(int userId, bool admin, const std::string& username, const std::string& password);
    // The password at its door: the server's, or the administrator's account.
    bool PasswordAccepted(const ServerUser& user, bool admin, const std::string& username, const std::string& password);
    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    UserRegistry& users_;
    const ServerProperties& properties_;
    const AdminAccount& admin_;
    const BanTable& bans_;
    FloodLimits& limits_;
    ChannelService& channels_;
    ChannelTree& tree_;
    TransferTable& transfers_;
    const FileStore& files_;
    VoiceRoutes& routes_;
    ServerStatistics& statistics_;
    ServerNodeListener& listener_;
};

}  // namespace server
}  // namespace quorvane

#endif
