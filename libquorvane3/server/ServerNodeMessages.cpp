// ServerNode: text messages to a user or a channel, and the chat commands a channel
// message starting with "/" is taken as.
#include <cinttypes>
#include <cstdio>

#include <ace/Guard_T.h>

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

namespace {

const char* const HELP_TEXT =
    "Valid commands are:\r\n/help - The message you're viewing now.\r\n/stats - Show server statistics.";
const char* const UNKNOWN_TEXT = "Unknown command.";

}  // namespace

int ServerNode::UserTextMessage(const TextMessage& message) {
    NodeGuard guard(lock_);
    const serveruser_t sender = GetUser(message.from);
    if (message.type == TEXTMSG_USER) {
        const serveruser_t receiver = GetUser(message.to);
        if (!receiver || !sender) return ERR_USER_NOT_FOUND;
        receiver->SendMessageDeliver(message);
        if (listener_) listener_->OnUserTextMessage(sender, receiver, message);
        return ERR_SUCCESS;
    }
    if (message.type != TEXTMSG_CHANNEL) return ERR_SUCCESS;

    const serverchannel_t channel = FindChannelByPath(rootChannel_, message.channel);
    if (!sender || !channel) return ERR_CHANNEL_NOT_FOUND;
    if (!message.content.empty() && message.content[0] == '/') {
        TextMessage reply = message;
        reply.content = HandleServerCommand(message.content);
        sender->SendMessageDeliver(reply);
    } else {
        channel->DeliverTextMessage(message);
        const std::vector<serveruser_t> admins = GetLoggedInAdmins();
        for (size_t i = 0; i < admins.size(); ++i) admins[i]->SendMessageDeliver(message);
    }
    if (listener_) listener_->OnChannelTextMessage(sender, channel, message);
    return ERR_SUCCESS;
}

std::string ServerNode::HandleServerCommand(const std::string& content) {
    if (content.empty() || content[0] != '/') return std::string();
    const std::string word = content.substr(0, content.find_first_of(" \r\n"));
    if (EqualsNoCase(word, "/help")) return HELP_TEXT;
    if (!EqualsNoCase(word, "/stats")) return UNKNOWN_TEXT;

    const long seconds = static_cast<long>(GetUptime().sec());
    int transfers = 0, uploads = 0, downloads = 0;
    GetActiveTransfers(transfers, uploads, downloads);
    char text[512];
    snprintf(text, sizeof(text),
             "Uptime: %ld:%.2ld:%.2ld\r\nUsers online: %d\r\nUsers served: %d\r\nUsers peak: %d\r\n"
             "Voice TX: %" PRIu64 " KBytes\r\nVoice RX: %" PRIu64 " KBytes\r\nActive file transfers: %d\r\n"
             "Active uploads: %d\r\nActive downloads: %d",
             seconds / 3600, (seconds % 3600) / 60, seconds % 60, GetUsersOnline(), GetUsersServed(),
             GetUsersPeak(), GetVoiceTxBytes() >> 10, GetVoiceRxBytes() >> 10, transfers, uploads, downloads);
    return text;
}

}  // namespace server
}  // namespace quorvane
