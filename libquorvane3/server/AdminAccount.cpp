#include "server/AdminAccount.h"

#include "network/ReactorThread.h"
#include "protocol/CommandLine.h"
#include "protocol/PasswordCompare.h"
#include "server/SaveRequests.h"

namespace quorvane {
namespace server {

void AdminAccount::SetAdminAccount(const std::string& username, const std::string& password) {
    ReactorThread::AssertLoopThread(loop_);
    username_ = username;
    password_ = password;
}

bool AdminAccount::CheckAdminAccount(const std::string& username, const std::string& password) const {
    const bool passwordMatches = PasswordsEqual(password, password_);
    if (username_.empty() || password_.empty()) return false;
    return EqualsNoCase(username, username_) && passwordMatches;
}

void AdminAccount::UserUpdateAdmin(const std::string& username, const std::string& password) {
    ReactorThread::AssertLoopThread(loop_);
    username_ = username;
    password_ = password;
    saves_.SaveIfSavingOnChange();
}

}  // namespace server
}  // namespace quorvane
