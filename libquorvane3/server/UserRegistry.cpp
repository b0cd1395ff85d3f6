#include "server/UserRegistry.h"

#include "network/ReactorThread.h"

namespace quorvane {
namespace server {

void UserRegistry::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

serveruser_t UserRegistry::GetUser(int userId) const {
    AssertLoopThread();
    const users_t::const_iterator it = users_.find(userId);
    return it == users_.end() ? serveruser_t() : it->second;
}

int UserRegistry::GetNewUserID() {
    AssertLoopThread();
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
    AssertLoopThread();
    users_[user->GetUserID()] = user;
    everyUserStale_ = true;
    statistics_.Change(ServerStatistics::CONNECTIONS, 1);
}

void UserRegistry::Remove(int userId) {
    AssertLoopThread();
    admins_.erase(userId);
    if (users_.erase(userId) != 0) statistics_.Change(ServerStatistics::CONNECTIONS, -1);
    everyUserStale_ = true;
}

const UserRegistry::users_t& UserRegistry::All() const {
    AssertLoopThread();
    return users_;
}

const std::vector<ServerUser*>& UserRegistry::EveryUser() {
    AssertLoopThread();
    if (everyUserStale_) {
        everyUser_.clear();
        for (users_t::const_iterator it = users_.begin(); it != users_.end(); ++it)
            everyUser_.push_back(it->second.get());
        everyUserStale_ = false;
    }
    return everyUser_;
}

int UserRegistry::GetUsersOnline() const {
    return GetCountedUsers() + static_cast<int>(statistics_.Get(ServerStatistics::ADMINS));
}

void UserRegistry::AddAdmin(int userId) {
    AssertLoopThread();
    admins_.insert(userId);
}

std::vector<serveruser_t> UserRegistry::GetLoggedInAdmins() const {
    AssertLoopThread();
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
    statistics_.Change(ServerStatistics::CONNECTIONS, -static_cast<int64_t>(users_.size()));
    users_.clear();
    everyUser_.clear();
    admins_.clear();
}

}  // namespace server
}  // namespace quorvane
