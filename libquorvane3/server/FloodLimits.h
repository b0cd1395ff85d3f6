// The limits against floods and hostile clients as the server applies them: connections
// per address, the password lockout and the login timeout, over the bookkeeping of
// FloodGuard with the real clock. An IPv4 client counts by its address; an IPv6 client by
// its network of the IPv6 prefix (/64 by default), since one subscriber holds a whole /64
// and takes new addresses from it at will. Bans hold for the same networks.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_FLOODLIMITS_H
#define QUORVANE_SERVER_FLOODLIMITS_H

#include <map>
#include <string>

#include "network/IpAddress.h"
#include "server/FloodGuard.h"

class ACE_Reactor;
class StreamHandler;

namespace quorvane {
namespace server {

class CommandRate;
class ServerNodeListener;
class ServerStatistics;
class ServerUser;
class UserRegistry;

class FloodLimits {
public:
    // users: those whose time to log in ran out are closed; listener hears of lockouts;
    // rate is what SetCommandRate sets.
    FloodLimits(ACE_Reactor* loop, ServerStatistics& statistics, UserRegistry& users, ServerNodeListener& listener,
                CommandRate& rate)
        : loop_(loop), statistics_(statistics), users_(users), listener_(listener), rate_(rate) {}

    // 0 means no limit for each.
    void SetMaxConnectionsPerAddress(int value);
    void SetPasswordLockout(int value);
    void SetLoginTimeout(int seconds);
    int GetMaxConnectionsPerAddress() const { return guard_.GetMaxConnectionsPerAddress(); }
    int GetPasswordLockout() const { return guard_.GetPasswordLockout(); }
    int GetLoginTimeout() const { return guard_.GetLoginTimeout(); }
    // The bits of an IPv6 address that tell one client from another (48 to 128).
    void SetIpv6Prefix(int bits);
    int GetIpv6Prefix() const { return ipv6Prefix_; }
    // What the limits count a client by: an IPv4 address's text; an IPv6 address's
    // network ("2001:db8:1:2::/64"), or the address alone at 128 bits.
    std::string CountedAs(const IpAddress& address) const;

    // Commands each connection may send per second, and at once after a quiet spell
    // (the token bucket of CommandReader); 0 rate means no throttle.
    void SetCommandRate(int perSecond, int burst);
    int GetCommandRate() const;
    int GetCommandBurst() const;

    // Counts the new connection against its address; false when the address already
    // holds its limit (the caller closes it).
    bool AdmitConnection(int userId, StreamHandler& handler);
    void ConnectionClosed(int userId);
    // A TLS handshake counts against its address as a connection does, until it ends;
    // false when the address holds its limit. The connection it makes is counted anew.
    bool AdmitHandshake(StreamHandler& handler);
    void HandshakeEnded(const StreamHandler& handler);

    // A password check at the door that counts wrong answers against the user's address;
    // while the address is locked out of that door every answer is wrong, unchecked. The
    // doors (server, administrator, channel passwords) count and lock apart. Nothing
    // stored means nothing to guess: then it only compares.
    bool CheckPassword(FloodGuard::Door door, const ServerUser& user, const std::string& given,
                       const std::string& stored);
    // The same for an answer already compared (matched): refused while locked out, counted
    // when wrong.
    bool CheckAnswer(FloodGuard::Door door, const ServerUser& user, bool matched);

    // Closes connections that did not log in in time (a file transfer's data connection
    // never logs in and is spared while its data phase runs); forgets expired password records. Every second.
    void CheckLoginTimeouts();
    // Forgets every count and record (the server stopped).
    void Clear();

private:
    void AssertLoopThread() const;
    // Counts the connection under key (a user id, or a handshake's negative key).
    bool Admit(int key, StreamHandler& handler);

    ACE_Reactor* const loop_;
    ServerStatistics& statistics_;
    UserRegistry& users_;
    ServerNodeListener& listener_;
    CommandRate& rate_;
    FloodGuard guard_;
    int ipv6Prefix_ = FloodGuard::DEFAULT_IPV6_PREFIX;
    // Handshakes in progress and the keys they are counted under: below zero, so never a
    // user's id; a login timeout that finds one finds no user and passes.
    std::map<const StreamHandler*, int> handshakes_;
    int lastHandshakeKey_ = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
