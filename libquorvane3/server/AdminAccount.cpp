#include "server/AdminAccount.h"

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "protocol/PasswordCompare.h"
#include "server/LineWriter.h"
#include "server/ServerNode.h"
#include "server/TreeListing.h"

namespace quorvane {
namespace server {

void AdminAccount::SetAdminAccount(const std::string& username, const std::string& password) {
    node_.AssertLoopThread();
    username_ = username;
    password_ = password;
}

bool AdminAccount::CheckAdminAccount(const std::string& username, const std::string& password) const {
    const bool passwordMatches = PasswordsEqual(password, password_);
    if (username_.empty() || password_.empty()) return false;
    return EqualsNoCase(username, username_) && passwordMatches;
}

int AdminAccount::UserAdminLogin(int userId, const std::string& username, const std::string& password) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    FloodLimits& limits = node_.Limits();
    const FloodGuard::Door door = FloodGuard::ADMIN_PASSWORD;
    if (limits.PasswordLockedOut(door, *user) ||
        !limits.CountPassword(door, *user, CheckAdminAccount(username, password))) {
        node_.ReportSecurity(SecurityEvent{SecurityEvent::WRONG_ADMIN_PASSWORD, user->GetPeerIpAddress(), username});
        return ERR_INCORRECT_SERVER_PASSWORD;
    }
    node_.ReportSecurity(SecurityEvent{SecurityEvent::ADMIN_LOGIN, user->GetPeerIpAddress(), username});
    user->SetAdmin(true);
    user->SetLoggedIn(true);
    node_.Users().AddAdmin(userId);
    user->SendLine(LineWriter::Ok());
    const serverchannel_t root = node_.Channels().GetRootChannel();
    TreeListing::SendChannels(*user);
    TreeListing::SendUsers(*user, root, true);
    TreeListing::SendFiles(*user, root, true);
    user->SendLine(LineWriter::FileShareInfo(node_.Files().GetFilesRoot(), node_.Properties().GetChannelDiskQuota()));
    return ERR_SUCCESS;
}

void AdminAccount::UserUpdateAdmin(const std::string& username, const std::string& password) {
    node_.AssertLoopThread();
    username_ = username;
    password_ = password;
    node_.SaveIfSavingOnChange();
}

}  // namespace server
}  // namespace quorvane
