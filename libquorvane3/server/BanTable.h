// The server's bans: IP address (text) to the record of who was banned, from where and
// when; the ban, unban and listing commands. An IPv4 ban is its address, compared byte
// for byte. An IPv6 ban is kept under the banned address (its compressed text) and holds
// for its whole network of FloodLimits' IPv6 prefix (/64 by default: one subscriber's),
// so that the next address its owner takes from that network is banned as well.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_BANTABLE_H
#define QUORVANE_SERVER_BANTABLE_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "network/IpAddress.h"
#include "server/BanRecord.h"
#include "server/ListingLine.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class FloodLimits;
class SaveRequests;
class ServerStatistics;
class UserRegistry;

class BanTable {
public:
    // Iterates in address order.
    typedef std::map<std::string, BanRecord> bans_t;

    // limits gives the IPv6 prefix a ban holds for; saves keeps each change.
    BanTable(ACE_Reactor* loop, ServerStatistics& statistics, const FloodLimits& limits, UserRegistry& users,
             SaveRequests& saves)
        : loop_(loop), statistics_(statistics), limits_(limits), users_(users), saves_(saves) {}

    // An IPv6 address is kept under its compressed text, however it is written.
    void AddBan(const std::string& address, const BanRecord& ban);
    // The address is banned, or for IPv6 an address of its network is.
    bool IsBanned(const std::string& address) const;
    void RemoveBan(const std::string& address);
    // A copy of the table.
    bans_t GetBans() const;

    // Bans the address of the user's command connection (whether or not it sent its voice
    // hello); the user stays connected until its next login. Each ban and unban asks for
    // the table to be kept (SaveRequests::BansChanged).
    int UserBan(int userId);
    // An IPv4 address must be the banned one's text exactly. An IPv6 address (any text
    // of it) lifts every ban that holds it out; a network ("2001:db8:1:2::/64") every ban
    // inside it.
    int UserUnban(const std::string& address);
    // Sends the user one "userbanned" per ban (a listing), then "done".
    int UserListBans(int userId);

private:
    void Changed();
    // The IPv6 bans inside the network, by their keys.
    std::vector<std::string> BansWithin(const IpAddress& network, int bits) const;

    // A ban's "userbanned" line and the record it was built from.
    struct BanLine {
        std::weak_ptr<const ListingLine> line;
        BanRecord record;
    };

    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    ServerStatistics& statistics_;
    const FloodLimits& limits_;
    UserRegistry& users_;
    SaveRequests& saves_;
    bans_t bans_;
    std::set<IpAddress> v6Bans_;            // the addresses of the IPv6 bans, for a network's look-up
    std::map<std::string, BanLine> lines_;  // as of the last listing
};

}  // namespace server
}  // namespace quorvane

#endif
