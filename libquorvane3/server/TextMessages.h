// Text messages to one user or to a channel, and the chat commands that a channel
// message starting with "/" is taken as ("/stats", "/help").
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_TEXTMESSAGES_H
#define QUORVANE_SERVER_TEXTMESSAGES_H

#include <string>

#include "server/TextMessage.h"

namespace quorvane {
namespace server {

class ServerNode;

class TextMessages {
public:
    explicit TextMessages(ServerNode& node) : node_(node) {}

    // A user message goes to its receiver; a channel message to the channel's members and
    // every logged-in administrator, or, as a chat command, back to the sender alone.
    int UserTextMessage(const TextMessage& message);
    // The reply to a chat command (content starting with "/"); empty otherwise.
    std::string HandleServerCommand(const std::string& content);

private:
    std::string StatisticsText();

    ServerNode& node_;
};

}  // namespace server
}  // namespace quorvane

#endif
