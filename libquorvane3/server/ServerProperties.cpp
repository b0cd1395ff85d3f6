#include "server/ServerProperties.h"

#include "network/ReactorThread.h"
#include "server/LineWriter.h"
#include "server/SaveRequests.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

void ServerProperties::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

void ServerProperties::UserUpdateServer(const std::string& serverName, const std::string& password,
                                        const std::string& motd, bool allowChannels, bool allowOperators) {
    AssertLoopThread();
    serverName_ = serverName;
    serverPassword_ = password;
    motd_ = motd;
    allowChannelCreation_ = allowChannels;
    allowOperators_ = allowOperators;
    const std::string line = ServerUpdateLine();
    // Copy first: the walk must not depend on what a failed send does to a user.
    const UserRegistry::users_t users = users_.All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it)
        if (!it->second->Transfer().IsActive()) it->second->SendLine(line);
    saves_.SaveIfSavingOnChange();
}

std::string ServerProperties::WelcomeLine(int userId) const {
    return LineWriter::Welcome(userId, serverName_, motd_, allowChannelCreation_, allowOperators_);
}

std::string ServerProperties::ServerUpdateLine() const {
    return LineWriter::ServerUpdate(serverName_, motd_, allowChannelCreation_, allowOperators_);
}

}  // namespace server
}  // namespace quorvane
