#include "server/ChannelTree.h"

#include "network/ReactorThread.h"
#include "server/TreeListing.h"

namespace quorvane {
namespace server {

ChannelTree::ChannelTree(ACE_Reactor* loop) : loop_(loop), root_(std::make_shared<ServerChannel>()) {
    root_->ConfineTo(loop);
    root_->SetStaticChannel(true);
}

serverchannel_t ChannelTree::FindChannel(const std::string& path) const {
    ReactorThread::AssertLoopThread(loop_);
    return FindChannelByPath(root_, path);
}

bool ChannelTree::Holds(const serverchannel_t& channel) const {
    return channel && FindChannel(channel->GetChannelPath()) == channel;
}

std::shared_ptr<const Listing::Lines> ChannelTree::ChannelLines(bool forAdmin) {
    ReactorThread::AssertLoopThread(loop_);
    const int view = forAdmin ? 1 : 0;
    std::shared_ptr<const Listing::Lines> lines = snapshots_[view].lock();
    if (lines && snapshotGenerations_[view] == ServerChannel::Generation()) return lines;
    lines = std::make_shared<const Listing::Lines>(TreeListing::ChannelLines(root_, forAdmin));
    snapshots_[view] = lines;
    snapshotGenerations_[view] = ServerChannel::Generation();
    return lines;
}

}  // namespace server
}  // namespace quorvane
