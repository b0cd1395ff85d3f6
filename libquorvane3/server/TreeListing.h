// The listings a user receives of a part of the tree: channels ("addchannel" for each,
// which ChannelTree keeps for logins), their users and their files, breadth first from a channel (a channel
// before its sub-channels, in stored order). Each is a Listing of the lines as they are
// now, which the connection makes as it drains (see Listing).
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_TREELISTING_H
#define QUORVANE_SERVER_TREELISTING_H

#include "server/Listing.h"
#include "server/ServerChannel.h"

namespace quorvane {
namespace server {

class ServerUser;

class TreeListing {
public:
    // The "addchannel" lines of the channel and everything below it.
    static Listing::Lines ChannelLines(const serverchannel_t& from, bool forAdmin);
    // Only while the user is logged in.
    static void SendUsers(ServerUser& user, const serverchannel_t& from, bool recursive);
    // In every state.
    static void SendFiles(ServerUser& user, const serverchannel_t& from, bool recursive);
};

}  // namespace server
}  // namespace quorvane

#endif
