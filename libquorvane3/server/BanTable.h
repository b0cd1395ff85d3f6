// The server's bans: IP address (dotted text, compared byte for byte) to the record of
// who was banned, from where and when; the ban, unban and listing commands.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_BANTABLE_H
#define QUORVANE_SERVER_BANTABLE_H

#include <map>
#include <memory>
#include <string>

#include "server/BanRecord.h"
#include "server/ListingLine.h"

namespace quorvane {
namespace server {

class ServerNode;

class BanTable {
public:
    // Iterates in address order.
    typedef std::map<std::string, BanRecord> bans_t;

    explicit BanTable(ServerNode& node) : node_(node) {}

    void AddBan(const std::string& address, const BanRecord& ban);
    bool IsBanned(const std::string& address) const;
    void RemoveBan(const std::string& address);
    // A copy of the table.
    bans_t GetBans() const;

    // Bans the address of the user's command connection (whether or not it sent its voice
    // hello); the user stays connected until its next login. Each ban and unban tells the
    // listener (OnBansChanged), which keeps the table.
    int UserBan(int userId);
    int UserUnban(const std::string& address);
    // Sends the user one "userbanned" per ban (a listing), then "done".
    int UserListBans(int userId);

private:
    void Changed();

    // A ban's "userbanned" line and the record it was built from.
    struct BanLine {
        std::weak_ptr<const ListingLine> line;
        BanRecord record;
    };

    ServerNode& node_;
    bans_t bans_;
    std::map<std::string, BanLine> lines_;  // as of the last listing
};

}  // namespace server
}  // namespace quorvane

#endif
