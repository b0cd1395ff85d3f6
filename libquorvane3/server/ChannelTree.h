// The channel tree of the running server: its root, finding a channel by its path, and the
// "addchannel" lines of the whole tree that login listings share while it does not change.
// ChannelService changes the tree; the parts that only look channels up get this.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_CHANNELTREE_H
#define QUORVANE_SERVER_CHANNELTREE_H

#include <cstdint>
#include <memory>
#include <string>

#include "server/Listing.h"
#include "server/ServerChannel.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class ChannelTree {
public:
    // Creates the root: nameless and static.
    explicit ChannelTree(ACE_Reactor* loop);

    serverchannel_t GetRootChannel() const { return root_; }
    serverchannel_t FindChannel(const std::string& path) const;
    // Whether the channel is still the tree's channel of its path (not removed, nor
    // replaced by a newer one of that path).
    bool Holds(const serverchannel_t& channel) const;
    // The "addchannel" lines of the whole tree as users, or administrators, see it now:
    // listings taken while the tree does not change share one snapshot.
    std::shared_ptr<const Listing::Lines> ChannelLines(bool forAdmin);

private:
    ACE_Reactor* const loop_;
    const serverchannel_t root_;
    // The last snapshot of ChannelLines for users and for administrators, while listings
    // hold it, and the generation of the tree it was taken at.
    std::weak_ptr<const Listing::Lines> snapshots_[2];
    uint64_t snapshotGenerations_[2] = {0, 0};
};

}  // namespace server
}  // namespace quorvane

#endif
