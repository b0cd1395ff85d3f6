// The commands of a connection's own session: quit, login and logout, the
// administrator's login, nickname and status changes, and the cheap self queries.
//
// Threads: the main loop's thread, after CommandTable checked the command's requirements.
#ifndef QUORVANE_SERVER_SESSIONCOMMANDS_H
#define QUORVANE_SERVER_SESSIONCOMMANDS_H

namespace quorvane {
namespace server {

class CommandContext;

class SessionCommands {
public:
    static void Quit(CommandContext& command);
    static void Login(CommandContext& command);
    static void Logout(CommandContext& command);
    static void Admin(CommandContext& command);
    static void ChangeNick(CommandContext& command);
    static void ChangeStatus(CommandContext& command);
    static void Ping(CommandContext& command);
    static void WhoAmI(CommandContext& command);
    static void Pwc(CommandContext& command);
};

}  // namespace server
}  // namespace quorvane

#endif
