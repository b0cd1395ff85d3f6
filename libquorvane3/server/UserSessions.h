// A user's way through the server: login, logout, updates of its nickname or status,
// kicks, inactivity and lag, and its disconnection, which every way out ends in.
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_USERSESSIONS_H
#define QUORVANE_SERVER_USERSESSIONS_H

#include <string>

namespace quorvane {
namespace server {

class ServerNode;

class UserSessions {
public:
    enum {
        INACTIVITY_STEP_SECONDS = 30,
        INACTIVITY_LIMIT_SECONDS = 180,
    };

    explicit UserSessions(ServerNode& node) : node_(node) {}

    // The login of a connection that sent its voice hello: the user limit, bans and the
    // server password; then "accepted" and the channel tree.
    int UserLogin(int userId, const std::string& password);
    // Leaves the user's channel and logs it out; the connection stays open.
    int UserLogout(int userId);
    // The user's nickname or status changed: its channel hears of it.
    int UserUpdate(int userId);
    // Logs the user out and closes its connection; the disconnection follows at once,
    // or once the connection's own callback (a user kicking itself) has returned.
    int UserKick(int userId);
    // The connection closed: takes the user out of its channel and its transfers and
    // forgets it. Unknown ids are ignored.
    void UserDisconnected(int userId);
    // The user's output was full: its connection closes on a later turn.
    void UserLagging(int userId);
    // Every 30 s: drops the users silent for 180 s, unless a transfer of theirs runs.
    void CheckInactivity();
    // Disconnects every user (the server stops).
    void DisconnectAll();

private:
    ServerNode& node_;
};

}  // namespace server
}  // namespace quorvane

#endif
