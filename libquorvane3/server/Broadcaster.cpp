#include "server/Broadcaster.h"

#include <memory>

#include "network/ReactorThread.h"
#include "network/SharedLine.h"
#include "server/LineWriter.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

void Broadcaster::ChannelLineToAll(const char* word, const serverchannel_t& channel) {
    ReactorThread::AssertLoopThread(loop_);
    std::unique_ptr<SharedLine> built[2];  // for users, for administrators
    for (ServerUser* const user : users_.EveryUser()) {
        if (!user->IsLoggedIn()) continue;
        const int kind = user->IsAdmin() ? 1 : 0;
        if (!built[kind]) built[kind].reset(new SharedLine(LineWriter::Channel(word, *channel, kind == 1)));
        user->SendShared(*built[kind]);
    }
}

void Broadcaster::RemoveChannelToAll(const serverchannel_t& channel) {
    ReactorThread::AssertLoopThread(loop_);
    const SharedLine line(LineWriter::Path("removechannel", *channel));
    for (ServerUser* const user : users_.EveryUser())
        if (user->IsLoggedIn()) user->SendShared(line);
}

void Broadcaster::Notify(const std::vector<serveruser_t>& receivers, const std::string& text) {
    if (text.empty() || receivers.empty()) return;
    const SharedLine line(text);
    for (size_t i = 0; i < receivers.size(); ++i) receivers[i]->SendNotice(line);
}

void Broadcaster::NotifyAdmins(const std::string& text) { Notify(users_.GetLoggedInAdmins(), text); }

void Broadcaster::ToChannelAndAdmins(const serverchannel_t& channel, const std::string& text) {
    ReactorThread::AssertLoopThread(loop_);
    const SharedLine line(text);
    const std::vector<serveruser_t> members = channel->GetUsers();
    for (size_t i = 0; i < members.size(); ++i) members[i]->SendShared(line);
    const std::vector<serveruser_t> admins = users_.GetLoggedInAdmins();
    for (size_t i = 0; i < admins.size(); ++i) admins[i]->SendShared(line);
}

}  // namespace server
}  // namespace quorvane
