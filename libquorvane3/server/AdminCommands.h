// The administrator's commands on the server as a whole: its values, the administrator
// account, saving the configuration, the bans and the list of connections.
//
// Threads: the main loop's thread, after CommandTable checked the command's requirements.
#ifndef QUORVANE_SERVER_ADMINCOMMANDS_H
#define QUORVANE_SERVER_ADMINCOMMANDS_H

namespace quorvane {
namespace server {

class CommandContext;

class AdminCommands {
public:
    static void UpdateServer(CommandContext& command);
    static void UpdateAdmin(CommandContext& command);
    static void SaveConfig(CommandContext& command);
    static void Ban(CommandContext& command);
    static void Unban(CommandContext& command);
    static void ListBans(CommandContext& command);
    static void ListUsers(CommandContext& command);
};

}  // namespace server
}  // namespace quorvane

#endif
