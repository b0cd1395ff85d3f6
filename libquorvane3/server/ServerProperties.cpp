#include "server/ServerProperties.h"

#include "server/LineWriter.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

void ServerProperties::AssertLoopThread() const { node_.AssertLoopThread(); }

void ServerProperties::UserUpdateServer(const std::string& serverName, const std::string& password,
                                        const std::string& motd, bool allowChannels, bool allowOperators) {
    node_.AssertLoopThread();
    serverName_ = serverName;
    serverPassword_ = password;
    motd_ = motd;
    allowChannelCreation_ = allowChannels;
    allowOperators_ = allowOperators;
    const std::string line = ServerUpdateLine();
    // Copy first: the walk must not depend on what a failed send does to a user.
    const UserRegistry::users_t users = node_.Users().All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it)
        if (!it->second->Transfer().IsActive()) it->second->SendLine(line);
    node_.SaveIfSavingOnChange();
}

std::string ServerProperties::WelcomeLine(int userId) const {
    return LineWriter::Welcome(userId, serverName_, motd_, allowChannelCreation_, allowOperators_);
}

std::string ServerProperties::ServerUpdateLine() const {
    return LineWriter::ServerUpdate(serverName_, motd_, allowChannelCreation_, allowOperators_);
}

}  // namespace server
}  // namespace quorvane
