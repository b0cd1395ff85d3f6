// The one administrator account: its name and password, the check of an administrator
// login's credentials (UserSessions runs the login) and the change of the account.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds).
#ifndef QUORVANE_SERVER_ADMINACCOUNT_H
#define QUORVANE_SERVER_ADMINACCOUNT_H

#include <string>

class ACE_Reactor;

namespace quorvane {
namespace server {

class SaveRequests;

class AdminAccount {
public:
    // saves keeps a change of the account.
    AdminAccount(ACE_Reactor* loop, SaveRequests& saves) : loop_(loop), saves_(saves) {}

    // An empty name or password disables the account.
    void SetAdminAccount(const std::string& username, const std::string& password);
    std::string GetAdminUsername() const { return username_; }
    std::string GetAdminPassword() const { return password_; }

    // Both stored texts non-empty, the name equal ignoring letter case, the password
    // equal byte for byte; the password is compared whatever the name, so the time
    // taken tells nothing.
    bool CheckAdminAccount(const std::string& username, const std::string& password) const;
    // The account for the next administrator login; saved when saving on change.
    void UserUpdateAdmin(const std::string& username, const std::string& password);

private:
    ACE_Reactor* const loop_;
    SaveRequests& saves_;
    std::string username_;
    std::string password_;
};

}  // namespace server
}  // namespace quorvane

#endif
