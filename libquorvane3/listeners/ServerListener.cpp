#include "listeners/ServerListener.h"

#include "listeners/EventLog.h"
#include "server/ServerChannel.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

namespace {

std::string Actor(const serveruser_t& actor) {
    if (!actor) return "the server";
    return "User #" + std::to_string(actor->GetUserID()) + " name: " + EventLog::Quote(actor->GetNickname());
}

// An IPv4 peer of the dual-stack socket as plain IPv4.
std::string AddressOf(const ACE_INET_Addr& address) {
    IpAddress ip;
    return IpAddress::FromAce(address, ip) ? ip.Text() : std::string("0.0.0.0");
}

}  // namespace

ServerListener::ServerListener(EventLog* log, ServerNodeListener* next) : log_(log), next_(next) {}

void ServerListener::Log(const std::string& text) {
    if (log_) log_->Write(text);
}

std::string ServerListener::UserPart(const serveruser_t& user) {
    return "User #" + std::to_string(user->GetUserID()) + " name: " + EventLog::Quote(user->GetNickname()) + " ";
}

void ServerListener::OnUserConnected(const serveruser_t& user, const ACE_INET_Addr& peer) {
    Log("User #" + std::to_string(user->GetUserID()) + " TCP address: " + AddressOf(peer) +
        " TCP port: " + std::to_string(peer.get_port_number()) + " connected.");
    Pass(&ServerNodeListener::OnUserConnected, user, peer);
}

void ServerListener::OnUserLoggedIn(const serveruser_t& user) {
    Log(UserPart(user) + "UDP address: " + AddressOf(user->GetUdpAddress()) +
        " UDP port: " + std::to_string(user->GetUdpAddress().get_port_number()) + " logged in.");
    Pass(&ServerNodeListener::OnUserLoggedIn, user);
}

void ServerListener::OnUserDisconnected(const serveruser_t& user) {
    const serverchannel_t channel = user->GetChannel();
    if (channel) Log(UserPart(user) + "Channel: " + EventLog::Quote(channel->GetChannelPath()) + " disconnected.");
    else Log(UserPart(user) + "disconnected.");
    Pass(&ServerNodeListener::OnUserDisconnected, user);
}

void ServerListener::OnSecurityEvent(const SecurityEvent& event) {
    const std::string& from = event.address;
    std::string text;
    switch (event.kind) {
    case SecurityEvent::WRONG_SERVER_PASSWORD:
        text = "failed login from " + from + ": wrong server password for " + EventLog::Quote(event.name);
        break;
    case SecurityEvent::WRONG_ADMIN_PASSWORD:
        text = "failed login from " + from + ": wrong administrator password for " + EventLog::Quote(event.name);
        break;
    case SecurityEvent::WRONG_CHANNEL_PASSWORD:
        text = "failed login from " + from + ": wrong password of channel " + EventLog::Quote(event.channel) + " for " +
               EventLog::Quote(event.name);
        break;
    case SecurityEvent::LOCKOUT:
        text = "lockout of " + from + " for " + std::to_string(event.seconds) + " s after " +
               std::to_string(event.attempts) + " wrong passwords";
        break;
    case SecurityEvent::ADMIN_LOGIN:
        text = "administrator " + EventLog::Quote(event.name) + " logged in from " + from;
        break;
    case SecurityEvent::KICK:
        text = "User #" + std::to_string(event.userId) + " name: " + EventLog::Quote(event.name) + " from " + from +
               " kicked by " + Actor(event.actor);
        break;
    case SecurityEvent::BAN:
        text = from + " banned (User #" + std::to_string(event.userId) + " name: " + EventLog::Quote(event.name) +
               ") by " + Actor(event.actor);
        break;
    case SecurityEvent::UNBAN: text = from + " unbanned by " + Actor(event.actor); break;
    }
    Log("Security: " + text + ".");
    Pass(&ServerNodeListener::OnSecurityEvent, event);
}

void ServerListener::OnUserDropped(const serveruser_t& user) {
    Log(UserPart(user) + "dropped after " + std::to_string(user->GetInactiveSeconds()) + " sec for inactivity.");
    Pass(&ServerNodeListener::OnUserDropped, user);
}

void ServerListener::OnUserLagging(const serveruser_t& user) {
    Log(UserPart(user) + "disconnected for lagging: its output queue was full.");
    Pass(&ServerNodeListener::OnUserLagging, user);
}

void ServerListener::OnUserJoinedChannel(const serveruser_t& user, const serverchannel_t& channel) {
    Log(UserPart(user) + "joined channel: " + EventLog::Quote(channel->GetChannelPath()) + ".");
    Pass(&ServerNodeListener::OnUserJoinedChannel, user, channel);
}

void ServerListener::OnUserTextMessage(const serveruser_t& sender, const serveruser_t& receiver,
                                       const TextMessage& message) {
    if (message.type == TEXTMSG_USER)
        Log("User message from #" + std::to_string(sender->GetUserID()) +
            " name: " + EventLog::Quote(sender->GetNickname()) + " to #" + std::to_string(receiver->GetUserID()) +
            " name: " + EventLog::Quote(receiver->GetNickname()) + " content: " + EventLog::Quote(message.content) +
            ".");
    Pass(&ServerNodeListener::OnUserTextMessage, sender, receiver, message);
}

void ServerListener::OnChannelTextMessage(const serveruser_t& sender, const serverchannel_t& channel,
                                          const TextMessage& message) {
    if (message.type == TEXTMSG_CHANNEL)
        Log("Channel message from #" + std::to_string(sender->GetUserID()) + " name: " +
            EventLog::Quote(sender->GetNickname()) + " to channel: " + EventLog::Quote(channel->GetChannelPath()) +
            " content: " + EventLog::Quote(message.content) + ".");
    Pass(&ServerNodeListener::OnChannelTextMessage, sender, channel, message);
}

void ServerListener::FileLine(const serveruser_t& user, const char* action, const ChannelFile& file,
                              const char* direction, const serverchannel_t& channel) {
    Log(UserPart(user) + action + " file: " + EventLog::Quote(file.filename) + " " + direction +
        " channel: " + EventLog::Quote(channel->GetChannelPath()) + ".");
}

void ServerListener::OnFileUploaded(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {
    FileLine(user, "uploaded", file, "to", channel);
    Pass(&ServerNodeListener::OnFileUploaded, user, channel, file);
}

void ServerListener::OnFileDownloaded(const serveruser_t& user, const serverchannel_t& channel,
                                      const ChannelFile& file) {
    FileLine(user, "downloaded", file, "from", channel);
    Pass(&ServerNodeListener::OnFileDownloaded, user, channel, file);
}

void ServerListener::OnFileDeleted(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {
    FileLine(user, "deleted", file, "from", channel);
    Pass(&ServerNodeListener::OnFileDeleted, user, channel, file);
}

void ServerListener::OnChannelCreated(const serverchannel_t& channel) {
    Pass(&ServerNodeListener::OnChannelCreated, channel);
}

void ServerListener::OnChannelUpdated(const serverchannel_t& channel) {
    Pass(&ServerNodeListener::OnChannelUpdated, channel);
}

void ServerListener::OnChannelRemoved(const serverchannel_t& channel) {
    Pass(&ServerNodeListener::OnChannelRemoved, channel);
}

void ServerListener::OnFileAdded(const serverchannel_t& channel, const ChannelFile& file) {
    Pass(&ServerNodeListener::OnFileAdded, channel, file);
}

void ServerListener::OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) {
    Pass(&ServerNodeListener::OnFileRemoved, channel, file);
}

void ServerListener::OnSaveConfiguration(ServerNode& node) { Pass(&ServerNodeListener::OnSaveConfiguration, node); }

void ServerListener::OnSaveRequested(ServerNode& node, const SaveDone& done) {
    if (next_) next_->OnSaveRequested(node, done);
    else if (done) done(true);
}

void ServerListener::OnBansChanged(ServerNode& node) { Pass(&ServerNodeListener::OnBansChanged, node); }

}  // namespace server
}  // namespace quorvane
