// The limits against floods and hostile clients as the server applies them: connections
// per address, the password lockout and the login timeout, over the bookkeeping of
// FloodGuard with the real clock.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_FLOODLIMITS_H
#define QUORVANE_SERVER_FLOODLIMITS_H

#include <string>

#include "server/FloodGuard.h"

class StreamHandler;

namespace quorvane {
namespace server {

class ServerNode;
class ServerUser;

class FloodLimits {
public:
    explicit FloodLimits(ServerNode& node) : node_(node) {}

    // 0 means no limit for each.
    void SetMaxConnectionsPerAddress(int value);
    void SetPasswordLockout(int value);
    void SetLoginTimeout(int seconds);
    int GetMaxConnectionsPerAddress() const { return guard_.GetMaxConnectionsPerAddress(); }
    int GetPasswordLockout() const { return guard_.GetPasswordLockout(); }
    int GetLoginTimeout() const { return guard_.GetLoginTimeout(); }
    // Commands each connection may send per second, and at once after a quiet spell
    // (the token bucket of CommandReader); 0 rate means no throttle.
    void SetCommandRate(int perSecond, int burst);
    int GetCommandRate() const { return commandRate_; }
    int GetCommandBurst() const { return commandBurst_; }

    // Counts the new connection against its address; false when the address already
    // holds its limit (the caller closes it).
    bool AdmitConnection(int userId, StreamHandler& handler);
    void ConnectionClosed(int userId);

    // A password check at the door that counts wrong answers against the user's address;
    // while the address is locked out of that door every answer is wrong, unchecked. The
    // doors (server, administrator, channel passwords) count and lock apart. Nothing
    // stored means nothing to guess: then it only compares.
    bool CheckPassword(FloodGuard::Door door, const ServerUser& user, const std::string& given,
                       const std::string& stored);
    bool PasswordLockedOut(FloodGuard::Door door, const ServerUser& user);
    // Counts a wrong answer at the door; answers matched.
    bool CountPassword(FloodGuard::Door door, const ServerUser& user, bool matched);

    // Closes connections that did not log in in time (a file transfer's data connection
    // never logs in and is spared while its data phase runs); forgets expired password records. Every second.
    void CheckLoginTimeouts();
    // Forgets every count and record (the server stopped).
    void Clear();

private:
    ServerNode& node_;
    FloodGuard guard_;
    int commandRate_ = FloodGuard::DEFAULT_COMMAND_RATE;
    int commandBurst_ = FloodGuard::DEFAULT_COMMAND_BURST;
};

}  // namespace server
}  // namespace quorvane

#endif
