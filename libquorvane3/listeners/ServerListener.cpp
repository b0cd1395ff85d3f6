// ServerListener: the event log lines.
#include "listeners/ServerListener.h"

#include <cstdio>

#include "listeners/EventLog.h"
#include "protocol/CommandLine.h"
#include "server/ServerChannel.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

namespace {

// A text in quotes, escaped as the protocol escapes it, and every control character that
// is left written out: a name holding a line break must not make a line of its own (one
// that a log watcher would take for the server's).
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : EscapeString(text)) {
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string Actor(const serveruser_t& actor) {
    if (!actor) return "the server";
    return "User #" + std::to_string(actor->GetUserID()) + " name: " + Quoted(actor->GetNickname());
}

std::string AddressOf(const ACE_INET_Addr& address) {
    char text[INET_ADDRSTRLEN + 1] = {0};
    return address.get_host_addr(text, sizeof(text)) ? std::string(text) : std::string("0.0.0.0");
}

}  // namespace

ServerListener::ServerListener(QuorvaneSettings& settings, BanList& banList, FilesList& filesList, EventLog* log,
                               ErrorReporter reportError, StorageWriter* writer)
    : settings_(settings),
      banList_(banList),
      filesList_(filesList),
      log_(log),
      reportError_(reportError),
      writer_(writer) {}

void ServerListener::Log(const std::string& text) {
    if (log_) log_->Write(text);
}

std::string ServerListener::UserPart(const serveruser_t& user) {
    return "User #" + std::to_string(user->GetUserID()) + " name: " + Quoted(user->GetNickname()) + " ";
}

void ServerListener::OnUserConnected(const serveruser_t& user, const ACE_INET_Addr& peer) {
    Log("User #" + std::to_string(user->GetUserID()) + " TCP address: " + AddressOf(peer) +
        " TCP port: " + std::to_string(peer.get_port_number()) + " connected.");
}

void ServerListener::OnUserLoggedIn(const serveruser_t& user) {
    Log(UserPart(user) + "UDP address: " + AddressOf(user->GetUdpAddress()) +
        " UDP port: " + std::to_string(user->GetUdpAddress().get_port_number()) + " logged in.");
}

void ServerListener::OnUserDisconnected(const serveruser_t& user) {
    const serverchannel_t channel = user->GetChannel();
    if (channel) Log(UserPart(user) + "Channel: " + Quoted(channel->GetChannelPath()) + " disconnected.");
    else Log(UserPart(user) + "disconnected.");
}

void ServerListener::OnSecurityEvent(const SecurityEvent& event) {
    const std::string& from = event.address;
    std::string text;
    switch (event.kind) {
    case SecurityEvent::WRONG_SERVER_PASSWORD:
        text = "failed login from " + from + ": wrong server password for " + Quoted(event.name);
        break;
    case SecurityEvent::WRONG_ADMIN_PASSWORD:
        text = "failed login from " + from + ": wrong administrator password for " + Quoted(event.name);
        break;
    case SecurityEvent::WRONG_CHANNEL_PASSWORD:
        text = "failed login from " + from + ": wrong password of channel " + Quoted(event.channel) + " for " +
               Quoted(event.name);
        break;
    case SecurityEvent::LOCKOUT:
        text = "lockout of " + from + " for " + std::to_string(event.seconds) + " s after " +
               std::to_string(event.attempts) + " wrong passwords";
        break;
    case SecurityEvent::ADMIN_LOGIN: text = "administrator " + Quoted(event.name) + " logged in from " + from; break;
    case SecurityEvent::KICK:
        text = "User #" + std::to_string(event.userId) + " name: " + Quoted(event.name) + " from " + from +
               " kicked by " + Actor(event.actor);
        break;
    case SecurityEvent::BAN:
        text = from + " banned (User #" + std::to_string(event.userId) + " name: " + Quoted(event.name) + ") by " +
               Actor(event.actor);
        break;
    case SecurityEvent::UNBAN: text = from + " unbanned by " + Actor(event.actor); break;
    }
    Log("Security: " + text + ".");
}

void ServerListener::OnUserDropped(const serveruser_t& user) {
    Log(UserPart(user) + "dropped after " + std::to_string(user->GetInactiveSeconds()) + " sec for inactivity.");
}

void ServerListener::OnUserLagging(const serveruser_t& user) {
    Log(UserPart(user) + "disconnected for lagging: its output queue was full.");
}

void ServerListener::OnUserJoinedChannel(const serveruser_t& user, const serverchannel_t& channel) {
    Log(UserPart(user) + "joined channel: " + Quoted(channel->GetChannelPath()) + ".");
}

void ServerListener::OnUserTextMessage(const serveruser_t& sender, const serveruser_t& receiver,
                                       const TextMessage& message) {
    if (message.type != TEXTMSG_USER) return;
    Log("User message from #" + std::to_string(sender->GetUserID()) + " name: " + Quoted(sender->GetNickname()) +
        " to #" + std::to_string(receiver->GetUserID()) + " name: " + Quoted(receiver->GetNickname()) +
        " content: " + Quoted(message.content) + ".");
}

void ServerListener::OnChannelTextMessage(const serveruser_t& sender, const serverchannel_t& channel,
                                          const TextMessage& message) {
    if (message.type != TEXTMSG_CHANNEL) return;
    Log("Channel message from #" + std::to_string(sender->GetUserID()) + " name: " + Quoted(sender->GetNickname()) +
        " to channel: " + Quoted(channel->GetChannelPath()) + " content: " + Quoted(message.content) + ".");
}

void ServerListener::FileLine(const serveruser_t& user, const char* action, const ChannelFile& file,
                              const char* direction, const serverchannel_t& channel) {
    Log(UserPart(user) + action + " file: " + Quoted(file.filename) + " " + direction +
        " channel: " + Quoted(channel->GetChannelPath()) + ".");
}

void ServerListener::OnFileUploaded(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {
    FileLine(user, "uploaded", file, "to", channel);
}

void ServerListener::OnFileDownloaded(const serveruser_t& user, const serverchannel_t& channel,
                                      const ChannelFile& file) {
    FileLine(user, "downloaded", file, "from", channel);
}

void ServerListener::OnFileDeleted(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {
    FileLine(user, "deleted", file, "from", channel);
}

}  // namespace server
}  // namespace quorvane
