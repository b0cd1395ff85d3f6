// What the event log records for an administrator, or for tools such as fail2ban that
// watch it: failed logins (server, administrator and channel passwords), lockouts,
// administrator logins, kicks, bans and unbans, each with the address it is about.
#ifndef QUORVANE_SERVER_SECURITYEVENT_H
#define QUORVANE_SERVER_SECURITYEVENT_H

#include <memory>
#include <string>

namespace quorvane {
namespace server {

class ServerUser;

struct SecurityEvent {
    enum Kind {
        WRONG_SERVER_PASSWORD,
        WRONG_ADMIN_PASSWORD,
        WRONG_CHANNEL_PASSWORD,
        LOCKOUT,
        ADMIN_LOGIN,
        KICK,
        BAN,
        UNBAN,
    };

    SecurityEvent(Kind what, const std::string& from, const std::string& named = std::string())
        : kind(what), address(from), name(named) {}

    Kind kind;
    std::string address;                // the IP address the event is about
    std::string name;                   // the name given (login) or of the user kicked or banned
    std::string channel;                // WRONG_CHANNEL_PASSWORD: the channel's path
    int userId = 0;                     // KICK, BAN: the user kicked or banned
    std::shared_ptr<ServerUser> actor;  // KICK, BAN, UNBAN: who did it
    int attempts = 0;                   // LOCKOUT: wrong passwords that caused it
    int seconds = 0;                    // LOCKOUT: how long it lasts
};

}  // namespace server
}  // namespace quorvane

#endif
