#include "server/ChannelCommands.h"

#include "protocol/ErrorCodes.h"
#include "server/ChannelService.h"
#include "server/CommandContext.h"
#include "server/LineWriter.h"
#include "server/ServerNodeListener.h"
#include "server/ServerUser.h"
#include "server/TextMessages.h"
#include "server/UserRegistry.h"
#include "server/UserSessions.h"

namespace quorvane {
namespace server {

void ChannelCommands::Join(CommandContext& command) {
    std::string channel, password, topic;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, channel)) return;
    if (!command.OptionalString("password", ERR_MISSING_PASSWORD, password)) return;
    if (!command.OptionalString("topic", ERR_MISSING_TOPIC, topic)) return;
    command.Succeeded(command.parts.channels.UserJoinChannel(command.user.GetUserID(), channel, password, topic));
}

void ChannelCommands::Leave(CommandContext& command) {
    const serverchannel_t channel = command.user.GetChannel();
    if (!channel) {
        command.Succeeded(ERR_USER_NOT_FOUND);
        return;
    }
    command.Succeeded(command.parts.channels.UserLeaveChannel(channel->GetChannelPath(), command.user.GetUserID()));
}

void ChannelCommands::MakeChannel(CommandContext& command) {
    std::string channel, password, topic;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, channel)) return;
    if (!command.OptionalString("password", ERR_MISSING_PASSWORD, password)) return;
    if (!command.OptionalString("topic", ERR_MISSING_TOPIC, topic)) return;
    int64_t quota = 0;
    if (!command.OptionalInt64("diskquota", ERR_MISSING_DISKQUOTA, quota)) return;
    command.Succeeded(command.parts.channels.UserMakeChannel(channel, password, topic, true, quota));
}

void ChannelCommands::UpdateChannel(CommandContext& command) {
    std::string channel, password, topic;
    bool isStatic = false;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, channel)) return;
    if (!command.RequireString("password", ERR_MISSING_PASSWORD, password)) return;
    if (!command.RequireString("topic", ERR_MISSING_TOPIC, topic)) return;
    if (!command.RequireBool("static", ERR_MISSING_STATIC, isStatic)) return;
    int64_t quota = 0;
    if (!command.OptionalInt64("diskquota", ERR_MISSING_DISKQUOTA, quota)) return;
    command.Succeeded(command.parts.channels.UserUpdateChannel(channel, password, topic, isStatic, quota));
}

void ChannelCommands::RemoveChannel(CommandContext& command) {
    std::string channel;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, channel)) return;
    command.Succeeded(command.parts.channels.UserRemoveChannel(channel));
}

void ChannelCommands::MoveUser(CommandContext& command) {
    std::string source, destination;
    int target = 0;
    if (!command.RequireString("srcchannel", ERR_MISSING_SRCCHANNEL, source)) return;
    if (!command.RequireString("destchannel", ERR_MISSING_DESTCHANNEL, destination)) return;
    if (!command.RequireInt("userid", ERR_MISSING_USERID, target)) return;
    command.Succeeded(command.parts.channels.UserMoveUser(target, source, destination));
}

void ChannelCommands::Op(CommandContext& command) {
    int target = 0;
    std::string path;
    if (!command.RequireInt("userid", ERR_MISSING_USERID, target)) return;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, path)) return;
    if (!command.Permitted()) return;
    command.Succeeded(command.parts.channels.UserGrantOperator(path, target));
}

void ChannelCommands::Kick(CommandContext& command) {
    int target = 0;
    if (!command.RequireInt("userid", ERR_MISSING_USERID, target)) return;
    // An operator kicks only the other members of its own channel.
    const ServerUser& user = command.user;
    const serverchannel_t channel = user.GetChannel();
    if (!user.IsAdmin() && (!channel || !channel->UserExists(target) || target == user.GetUserID())) {
        command.Succeeded(ERR_USER_NOT_FOUND);
        return;
    }
    if (!command.Permitted()) return;
    // Told before the kick: the connection, and with it its address, may go at once.
    const serveruser_t kicked = command.parts.users.GetUser(target);
    SecurityEvent event{SecurityEvent::KICK, kicked ? kicked->GetPeerIpAddress() : "",
                        kicked ? kicked->GetNickname() : ""};
    if (!command.Succeeded(command.parts.sessions.UserKick(target))) return;
    event.userId = target;
    event.actor = command.user.weak_from_this().lock();
    command.parts.listener.OnSecurityEvent(event);
}

void ChannelCommands::Message(CommandContext& command) {
    TextMessage message;
    if (!command.RequireInt("type", ERR_MISSING_TYPE, message.type)) return;
    if (message.type != TEXTMSG_USER && message.type != TEXTMSG_CHANNEL) {
        command.Succeeded(ERR_MISSING_TYPE);
        return;
    }
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, message.channel)) return;
    if (message.type == TEXTMSG_USER && !command.RequireInt("to", ERR_MISSING_TO, message.to)) return;
    if (!command.RequireString("content", ERR_MISSING_TEXT, message.content)) return;
    const serverchannel_t channel = command.user.GetChannel();
    if (!channel) return;  // a sender in no channel is ignored
    if (!command.Permitted()) return;
    message.from = command.user.GetUserID();
    if (message.type == TEXTMSG_CHANNEL) message.to = 0;
    if (message.channel.empty()) message.channel = channel->GetChannelPath();
    if (command.Succeeded(command.parts.messages.UserTextMessage(message))) command.user.SendLine(LineWriter::Ok());
}

}  // namespace server
}  // namespace quorvane
