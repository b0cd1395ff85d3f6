#include "server/AdminCommands.h"

#include "protocol/ErrorCodes.h"
#include "server/AdminAccount.h"
#include "server/BanTable.h"
#include "server/CommandContext.h"
#include "server/LineWriter.h"
#include "server/SaveRequests.h"
#include "server/ServerNodeListener.h"
#include "server/ServerProperties.h"
#include "server/ServerUser.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

void AdminCommands::UpdateServer(CommandContext& command) {
    int channels = 0, operators = 0;
    std::string name, password, motd;
    if (!command.RequireInt("channels", ERR_MISSING_CHANNELS, channels)) return;
    if (!command.RequireInt("operators", ERR_MISSING_OPERATORS, operators)) return;
    if (!command.RequireString("servername", ERR_MISSING_SERVERNAME, name)) return;
    if (!command.RequireString("password", ERR_MISSING_PASSWORD, password)) return;
    if (!command.RequireString("motd", ERR_MISSING_MOTD, motd)) return;
    command.parts.properties.UserUpdateServer(name, password, motd, channels != 0, operators != 0);
}

void AdminCommands::UpdateAdmin(CommandContext& command) {
    std::string username, password;
    if (!command.RequireString("username", ERR_MISSING_USERNAME, username)) return;
    if (!command.RequireString("password", ERR_MISSING_PASSWORD, password)) return;
    command.parts.admin.UserUpdateAdmin(username, password);
    command.user.SendLine(LineWriter::Ok());
}

// The files are written off the loop: the answer goes once they are, to the
// administrator's connection if it is still there, whose later commands wait for it.
void AdminCommands::SaveConfig(CommandContext& command) {
    const std::weak_ptr<ServerUser> asker = command.user.weak_from_this();
    command.user.HoldInput();
    command.parts.saves.UserSaveConfig([asker](bool saved) {
        const serveruser_t user = asker.lock();
        if (!user || !user->IsAttached() || !user->FindStreamHandler()) return;
        user->FinishHeldCommand(saved ? LineWriter::Ok() : LineWriter::Error(ERR_OPEN_FILE_FAILED));
    });
}

void AdminCommands::Ban(CommandContext& command) {
    int target = 0;
    if (!command.RequireInt("userid", ERR_MISSING_USERID, target)) return;
    const serveruser_t banned = command.parts.users.GetUser(target);
    if (!command.Succeeded(command.parts.bans.UserBan(target))) return;
    command.user.SendLine(LineWriter::Ok());
    SecurityEvent event{SecurityEvent::BAN, banned->GetPeerIpAddress(), banned->GetNickname()};
    event.userId = target;
    event.actor = command.user.weak_from_this().lock();
    command.parts.listener.OnSecurityEvent(event);
}

void AdminCommands::Unban(CommandContext& command) {
    std::string address;
    if (!command.RequireString("address", ERR_MISSING_ADDRESS, address)) return;
    if (!command.Succeeded(command.parts.bans.UserUnban(address))) return;
    command.user.SendLine(LineWriter::Ok());
    SecurityEvent event{SecurityEvent::UNBAN, address};
    event.actor = command.user.weak_from_this().lock();
    command.parts.listener.OnSecurityEvent(event);
}

void AdminCommands::ListBans(CommandContext& command) {
    command.Succeeded(command.parts.bans.UserListBans(command.user.GetUserID()));
}

// Every connection in id order, logged in or not, the asker's own included: one line
// each, so the reply is bounded by the connections the server admits.
void AdminCommands::ListUsers(CommandContext& command) {
    const UserRegistry::users_t& users = command.parts.users.All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it)
        command.user.SendLine(LineWriter::UserInfo(*it->second));
    command.user.SendLine(LineWriter::Done());
}

}  // namespace server
}  // namespace quorvane
