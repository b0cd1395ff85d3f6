// The listings a user receives of a part of the tree: channels ("addchannel" for each,
// at login), their users and their files, breadth first from a channel (a channel
// before its sub-channels, in stored order).
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_TREELISTING_H
#define QUORVANE_SERVER_TREELISTING_H

#include "server/ServerChannel.h"

namespace quorvane {
namespace server {

class ServerUser;

class TreeListing {
public:
    // Only while the user is logged in.
    static void SendChannels(ServerUser& user, const serverchannel_t& from);
    static void SendUsers(ServerUser& user, const serverchannel_t& from, bool recursive);
    // In every state.
    static void SendFiles(ServerUser& user, const serverchannel_t& from, bool recursive);
};

}  // namespace server
}  // namespace quorvane

#endif
