// Text messages to one user or to a channel, and the chat commands that a channel
// message starting with "/" is taken as ("/stats", "/help").
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_TEXTMESSAGES_H
#define QUORVANE_SERVER_TEXTMESSAGES_H

#include <string>

#include "server/TextMessage.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class ChannelTree;
class ServerNodeListener;
class ServerStatistics;
class TransferTable;
class UserRegistry;

class TextMessages {
public:
    // statistics and transfers are what "/stats" tells; listener hears of each message.
    TextMessages(ACE_Reactor* loop, UserRegistry& users, const ChannelTree& tree, const ServerStatistics& statistics,
                 const TransferTable& transfers, ServerNodeListener& listener)
        : loop_(loop),
          users_(users),
          tree_(tree),
          statistics_(statistics),
          transfers_(transfers),
          listener_(listener) {}

    // A user message goes to its receiver; a channel message to the channel's members and
    // every logged-in administrator, or, as a chat command, back to the sender alone.
    int UserTextMessage(const TextMessage& message);
    // The reply to a chat command (content starting with "/"); empty otherwise.
    std::string HandleServerCommand(const std::string& content);

private:
    std::string StatisticsText();

    ACE_Reactor* const loop_;
    UserRegistry& users_;
    const ChannelTree& tree_;
    const ServerStatistics& statistics_;
    const TransferTable& transfers_;
    ServerNodeListener& listener_;
};

}  // namespace server
}  // namespace quorvane

#endif
