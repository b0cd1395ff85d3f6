#include "server/TreeListing.h"

#include <deque>

#include "server/LineWriter.h"
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

void TreeListing::SendChannels(ServerUser& user, const serverchannel_t& from) {
    WalkChannels(from, true, [&user](const ServerChannel& channel) {
        user.SendNotice(LineWriter::Channel("addchannel", channel, user.IsAdmin()));
    });
}

void TreeListing::SendUsers(ServerUser& user, const serverchannel_t& from, bool recursive) {
    WalkChannels(from, recursive, [&user](const ServerChannel& channel) {
        const std::vector<serveruser_t> users = channel.GetUsers();
        for (size_t i = 0; i < users.size(); ++i) user.SendNotice(LineWriter::User("adduser", *users[i]));
    });
}

void TreeListing::SendFiles(ServerUser& user, const serverchannel_t& from, bool recursive) {
    WalkChannels(from, recursive, [&user](const ServerChannel& channel) {
        const ServerChannel::files_t& files = channel.GetFiles();
        for (size_t i = 0; i < files.size(); ++i) user.SendLine(LineWriter::AddFile(files[i], channel));
    });
}

}  // namespace server
}  // namespace quorvane
