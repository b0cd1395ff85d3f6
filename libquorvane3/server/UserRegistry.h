// Every connected user by id, logged in or not: the ids handed out, the users counted
// against the user limit and the administrators among them.
//
// Threads: the main loop's thread only (checked in debug builds), except GetCountedUsers
// and GetUsersOnline, which any thread may call.
#ifndef QUORVANE_SERVER_USERREGISTRY_H
#define QUORVANE_SERVER_USERREGISTRY_H

#include <map>
#include <set>
#include <vector>

#include "server/ServerStatistics.h"
#include "server/ServerUser.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class UserRegistry {
public:
    enum { MAX_USER_ID = 32766 };
    typedef std::map<int, serveruser_t> users_t;

    UserRegistry(ACE_Reactor* loop, ServerStatistics& statistics) : loop_(loop), statistics_(statistics) {}

    // Empty when the id is not registered.
    serveruser_t GetUser(int userId) const;
    // The next free id after the last one handed out, wrapping once past MAX_USER_ID;
    // 0 when every id is taken.
    int GetNewUserID();
    void Add(const serveruser_t& user);
    // Forgets the user; its last strong reference may go with it.
    void Remove(int userId);
    const users_t& All() const;
    // The users in id order as a plain array, for broadcasts to everyone: walking the map
    // costs a cache miss per user, thousands per broadcast. Rebuilt after a change.
    const std::vector<ServerUser*>& EveryUser();
    // Logged-in users, administrators included. Any thread.
    int GetUsersOnline() const;
    // Logged-in users that are not administrators (the statistics count them as the
    // users' flags change, so a login need not walk every user). Any thread.
    int GetCountedUsers() const { return static_cast<int>(statistics_.Get(ServerStatistics::USERS)); }

    // Administrators: the ids that ever logged in as one while connected, so that the
    // logged-in ones are found without walking every user.
    void AddAdmin(int userId);
    std::vector<serveruser_t> GetLoggedInAdmins() const;

    // Unties every user from its connection and the server (the node goes away).
    void DetachAll();

private:
    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    ServerStatistics& statistics_;
    users_t users_;
    std::vector<ServerUser*> everyUser_;
    bool everyUserStale_ = true;
    int lastUserId_ = 0;
    std::set<int> admins_;
};

}  // namespace server
}  // namespace quorvane

#endif
