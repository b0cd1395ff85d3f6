#include "server/SessionCommands.h"

#include "protocol/ErrorCodes.h"
#include "server/CommandContext.h"
#include "server/LineWriter.h"
#include "server/ServerUser.h"
#include "server/UserSessions.h"

namespace quorvane {
namespace server {

void SessionCommands::Quit(CommandContext& command) { command.keepOpen = false; }

void SessionCommands::Login(CommandContext& command) {
    ServerUser& user = command.user;
    // Each value is stored as soon as it is read; a later failure keeps the earlier ones.
    std::string text, password;
    int number = 0;
    if (!command.RequireString("protocol", ERR_MISSING_PROTOCOL, text)) return;
    user.SetClientProtocol(text);
    if (!command.RequireString("nickname", ERR_MISSING_NICKNAME, text)) return;
    user.SetNickname(text);
    if (!command.RequireString("serverpassword", ERR_MISSING_PASSWORD, password)) return;
    if (!command.RequireInt("bandmode", ERR_MISSING_BANDMODE, number)) return;
    user.SetBandMode(number);
    if (!command.RequireInt("framesize", ERR_MISSING_FRAMESIZE, number)) return;
    user.SetFrameSize(number);
    if (!command.RequireInt("encodedframesize", ERR_MISSING_ENCODEDFRAMESIZE, number)) return;
    user.SetEncodedFrameSize(number);
    if (!command.RequireInt("fpp", ERR_MISSING_FPP, number)) return;
    user.SetFramesPerPacket(number);
    if (!command.RequireString("version", ERR_MISSING_VERSION, text)) return;
    user.SetVersion(text);
    if (command.Succeeded(command.parts.sessions.UserLogin(user.GetUserID(), password)))
        user.SendLine(LineWriter::Done());
}

void SessionCommands::Logout(CommandContext& command) {
    command.Succeeded(command.parts.sessions.UserLogout(command.user.GetUserID()));
}

void SessionCommands::Admin(CommandContext& command) {
    std::string username, password;
    if (!command.RequireString("username", ERR_MISSING_USERNAME, username)) return;
    if (!command.RequireString("password", ERR_MISSING_PASSWORD, password)) return;
    if (command.Succeeded(command.parts.sessions.UserAdminLogin(command.user.GetUserID(), username, password)))
        command.user.SendLine(LineWriter::Done());
}

void SessionCommands::ChangeNick(CommandContext& command) {
    std::string nickname;
    if (!command.RequireString("nickname", ERR_MISSING_NICKNAME, nickname)) return;
    command.user.SetNickname(nickname);
    command.Succeeded(command.parts.sessions.UserUpdate(command.user.GetUserID()));
}

void SessionCommands::ChangeStatus(CommandContext& command) {
    int mode = 0;
    if (!command.RequireInt("statusmode", ERR_MISSING_STATUSMODE, mode)) return;
    command.user.SetStatusMode(mode);
    std::string message;
    if (!command.RequireString("statusmessage", ERR_MISSING_TEXT, message)) return;
    command.user.SetStatusMessage(message);
    command.Succeeded(command.parts.sessions.UserUpdate(command.user.GetUserID()));
}

void SessionCommands::Ping(CommandContext& command) {
    command.user.SetInactiveSeconds(0);
    command.user.SendLine(LineWriter::Pong());
}

void SessionCommands::WhoAmI(CommandContext& command) { command.user.SendLine(LineWriter::YouAre(command.user)); }

void SessionCommands::Pwc(CommandContext& command) { command.user.SendLine(LineWriter::Pwc(command.user)); }

}  // namespace server
}  // namespace quorvane
