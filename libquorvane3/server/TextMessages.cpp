#include "server/TextMessages.h"

#include <cinttypes>
#include <cstdio>

#include "network/ReactorThread.h"
#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/Broadcaster.h"
#include "server/ChannelTree.h"
#include "server/LineWriter.h"
#include "server/ServerNodeListener.h"
#include "server/ServerStatistics.h"
#include "server/TransferTable.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

namespace {

const char* const HELP_TEXT =
    "Valid commands are:\r\n/help - The message you're viewing now.\r\n/stats - Show server statistics.";
const char* const UNKNOWN_TEXT = "Unknown command.";

}  // namespace

int TextMessages::UserTextMessage(const TextMessage& message) {
    ReactorThread::AssertLoopThread(loop_);
    const serveruser_t sender = users_.GetUser(message.from);
    if (message.type == TEXTMSG_USER) {
        const serveruser_t receiver = users_.GetUser(message.to);
        if (!receiver || !sender) return ERR_USER_NOT_FOUND;
        const std::string line = LineWriter::MessageDeliver(message);
        receiver->SendNotice(line);
        sender->ChargeFanOut(line.size());
        listener_.OnUserTextMessage(sender, receiver, message);
        return ERR_SUCCESS;
    }
    if (message.type != TEXTMSG_CHANNEL) return ERR_SUCCESS;

    const serverchannel_t channel = tree_.FindChannel(message.channel);
    if (!sender || !channel) return ERR_CHANNEL_NOT_FOUND;
    if (!message.content.empty() && message.content[0] == '/') {
        TextMessage reply = message;
        reply.content = HandleServerCommand(message.content);
        sender->SendNotice(LineWriter::MessageDeliver(reply));
    } else {
        channel->DeliverTextMessage(message);
        const std::string line = LineWriter::MessageDeliver(message);
        const std::vector<serveruser_t> admins = users_.GetLoggedInAdmins();
        Broadcaster::Notify(admins, line);
        // The copies for everyone but the sender count against its throttle.
        const size_t others = channel->GetUsersCount() - (channel->UserExists(message.from) ? 1 : 0) + admins.size();
        sender->ChargeFanOut(line.size() * others);
    }
    listener_.OnChannelTextMessage(sender, channel, message);
    return ERR_SUCCESS;
}

std::string TextMessages::HandleServerCommand(const std::string& content) {
    if (content.empty() || content[0] != '/') return std::string();
    const std::string word = content.substr(0, content.find_first_of(" \r\n"));
    if (EqualsNoCase(word, "/help")) return HELP_TEXT;
    if (!EqualsNoCase(word, "/stats")) return UNKNOWN_TEXT;
    return StatisticsText();
}

std::string TextMessages::StatisticsText() {
    const ServerStatistics& statistics = statistics_;
    const long seconds = static_cast<long>(statistics.GetUptime().sec());
    int transfers = 0, uploads = 0, downloads = 0;
    transfers_.GetActiveTransfers(transfers, uploads, downloads);
    char text[512];
    snprintf(text, sizeof(text),
             "Uptime: %ld:%.2ld:%.2ld\r\nUsers online: %d\r\nUsers served: %d\r\nUsers peak: %d\r\n"
             "Voice TX: %" PRIu64 " KBytes\r\nVoice RX: %" PRIu64
             " KBytes\r\nActive file transfers: %d\r\n"
             "Active uploads: %d\r\nActive downloads: %d",
             seconds / 3600, (seconds % 3600) / 60, seconds % 60, users_.GetUsersOnline(), statistics.GetUsersServed(),
             statistics.GetUsersPeak(), statistics.GetVoiceTxBytes() >> 10, statistics.GetVoiceRxBytes() >> 10,
             transfers, uploads, downloads);
    return text;
}

}  // namespace server
}  // namespace quorvane
