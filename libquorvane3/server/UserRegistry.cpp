#include "server/UserRegistry.h"

#include "server/ServerNode.h"

namespace quorvane {
namespace server {

serveruser_t UserRegistry::GetUser(int userId) const {
    node_.AssertLoopThread();
    const users_t::const_iterator it = users_.find(userId);
    return it == users_.end() ? serveruser_t() : it->second;
}

int UserRegistry::GetNewUserID() {
    node_.AssertLoopThread();
    bool wrapped = false;
    for (;;) {
        const int candidate = ++lastUserId_;
        if (candidate <= MAX_USER_ID) {
            if (users_.find(candidate) == users_.end()) return candidate;
            continue;
        }
        if (wrapped) {
            lastUserId_ = 0;
            return 0;
        }
        wrapped = true;
        lastUserId_ = 1;
    }
}

void UserRegistry::Add(const serveruser_t& user) {
    node_.AssertLoopThread();
    users_[user->GetUserID()] = user;
    everyUserStale_ = true;
    node_.Statistics().Change(ServerStatistics::CONNECTIONS, 1);
}

void UserRegistry::Remove(int userId) {
    node_.AssertLoopThread();
    admins_.erase(userId);
    if (users_.erase(userId) != 0) node_.Statistics().Change(ServerStatistics::CONNECTIONS, -1);
    everyUserStale_ = true;
}

const UserRegistry::users_t& UserRegistry::All() const {
    node_.AssertLoopThread();
    return users_;
}

const std::vector<ServerUser*>& UserRegistry::EveryUser() {
    node_.AssertLoopThread();
    if (everyUserStale_) {
        everyUser_.clear();
        for (users_t::const_iterator it = users_.begin(); it != users_.end(); ++it)
            everyUser_.push_back(it->second.get());
        everyUserStale_ = false;
    }
    return everyUser_;
}

int UserRegistry::GetUsersOnline() const {
    return GetCountedUsers() + static_cast<int>(node_.Statistics().Get(ServerStatistics::ADMINS));
}

void UserRegistry::AddAdmin(int userId) {
    node_.AssertLoopThread();
    admins_.insert(userId);
}

std::vector<serveruser_t> UserRegistry::GetLoggedInAdmins() const {
    node_.AssertLoopThread();
    std::vector<serveruser_t> admins;
    for (std::set<int>::const_iterator it = admins_.begin(); it != admins_.end(); ++it) {
        const users_t::const_iterator user = users_.find(*it);
        if (user != users_.end() && user->second->IsAdmin() && user->second->IsLoggedIn())
            admins.push_back(user->second);
    }
    return admins;
}

void UserRegistry::DetachAll() {
    for (users_t::iterator it = users_.begin(); it != users_.end(); ++it) it->second->Detach();
    node_.Statistics().Change(ServerStatistics::CONNECTIONS, -static_cast<int64_t>(users_.size()));
    users_.clear();
    everyUser_.clear();
    admins_.clear();
}

}  // namespace server
}  // namespace quorvane
