#include "server/TreeListing.h"

#include <deque>

#include "server/ServerUser.h"

namespace quorvane {
namespace server {

namespace {

template <class VISIT>
void WalkChannels(const serverchannel_t& start, bool recursive, VISIT visit) {
    std::deque<serverchannel_t> queue;
    if (start) queue.push_back(start);
    while (!queue.empty()) {
        const serverchannel_t channel = queue.front();
        queue.pop_front();
        visit(*channel);
        if (!recursive) continue;
        const ServerChannel::channels_t subs = channel->GetSubChannels();
        queue.insert(queue.end(), subs.begin(), subs.end());
    }
}

}  // namespace

Listing::Lines TreeListing::ChannelLines(const serverchannel_t& from, bool forAdmin) {
    Listing::Lines lines;
    WalkChannels(from, true,
                 [&](const ServerChannel& channel) { Listing::Append(lines, channel.AddChannelLine(forAdmin)); });
    lines.shrink_to_fit();
    return lines;
}

void TreeListing::SendUsers(ServerUser& user, const serverchannel_t& from, bool recursive) {
    if (!user.IsLoggedIn()) return;
    Listing::Lines lines;
    WalkChannels(from, recursive, [&](const ServerChannel& channel) {
        for (const serveruser_t& member : channel.GetUsers()) Listing::Append(lines, member->AddUserLine());
    });
    user.SendListing(std::unique_ptr<Listing>(new Listing(std::move(lines))));
}

void TreeListing::SendFiles(ServerUser& user, const serverchannel_t& from, bool recursive) {
    Listing::Lines lines;
    WalkChannels(from, recursive, [&](const ServerChannel& channel) {
        for (size_t i = 0; i < channel.GetFiles().size(); ++i) Listing::Append(lines, channel.AddFileLine(i));
    });
    user.SendListing(std::unique_ptr<Listing>(new Listing(std::move(lines))));
}

}  // namespace server
}  // namespace quorvane
