// The commands on channels and their members: join, leave, the administrator's channel
// management and moves, operator rights, kicks and text messages.
//
// Threads: the main loop's thread, after CommandTable checked the command's requirements.
#ifndef QUORVANE_SERVER_CHANNELCOMMANDS_H
#define QUORVANE_SERVER_CHANNELCOMMANDS_H

namespace quorvane {
namespace server {

class CommandContext;

class ChannelCommands {
public:
    static void Join(CommandContext& command);
    static void Leave(CommandContext& command);
    static void MakeChannel(CommandContext& command);
    static void UpdateChannel(CommandContext& command);
    static void RemoveChannel(CommandContext& command);
    static void MoveUser(CommandContext& command);
    static void Op(CommandContext& command);
    static void Kick(CommandContext& command);
    static void Message(CommandContext& command);
};

}  // namespace server
}  // namespace quorvane

#endif
