// ServerUser: every line the server sends to a client. Each line is built by
// LineBuilder from its parameter list; lines about other users and channels are
// suppressed while this user is not logged in.
#include <cstdio>
#include <ctime>
#include <deque>

#include "protocol/ErrorCodes.h"
#include "network/SharedLine.h"
#include "protocol/LineBuilder.h"
#include "server/ServerChannel.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

namespace {

const char* const CLIENT_PROTOCOL_VERSION = "3.4";

// The parameters shared by "accepted" and "youare".
LineBuilder& AppendSelf(LineBuilder& line, const ServerUser& user) {
    return line.Int("userid", user.GetUserID())
        .String("nickname", user.GetNickname())
        .String("address", user.GetIpAddress())
        .Int("soundport", user.GetUdpAddress().get_port_number())
        .Int("bandmode", user.GetBandMode())
        .Int("framesize", user.GetFrameSize())
        .Int("encodedframesize", user.GetEncodedFrameSize());
}

// Breadth first from the channel: a channel before its sub-channels, in stored order.
template <class VISIT>
void WalkChannels(const serverchannel_t& start, bool recursive, VISIT visit) {
    std::deque<serverchannel_t> queue;
    if (start) queue.push_back(start);
    while (!queue.empty()) {
        const serverchannel_t channel = queue.front();
        queue.pop_front();
        visit(channel);
        if (!recursive) continue;
        const ServerChannel::channels_t subs = channel->GetSubChannels();
        queue.insert(queue.end(), subs.begin(), subs.end());
    }
}

}  // namespace

void ServerUser::SendWelcome(const std::string& serverName, const std::string& motd, bool allowChannels,
                             bool allowOperators) {
    SendLine(LineBuilder("welcome")
                 .Int("userid", GetUserID())
                 .String("servername", serverName)
                 .String("motd", motd)
                 .Bool("forwarding", true)
                 .Bool("channels", allowChannels)
                 .Bool("operators", allowOperators)
                 .String("protocol", CLIENT_PROTOCOL_VERSION)
                 .Finish());
}

void ServerUser::SendAccepted() {
    LineBuilder line("accepted");
    AppendSelf(line, *this).Int("fpp", GetFramesPerPacket());
    SendLine(line.Finish());
}

void ServerUser::SendYouAre() {
    LineBuilder line("youare");
    SendLine(AppendSelf(line, *this).Finish());
}

void ServerUser::SendServerUpdate(const std::string& serverName, const std::string& motd, bool allowChannels,
                                  bool allowOperators) {
    SendLine(LineBuilder("serverupdate")
                 .String("servername", serverName)
                 .String("motd", motd)
                 .Bool("forwarding", true)
                 .Bool("channels", allowChannels)
                 .Bool("operators", allowOperators)
                 .Finish());
}

void ServerUser::SendPong() { SendLine(LineBuilder("pong").Finish()); }
void ServerUser::SendOk() { SendLine(LineBuilder("ok").Finish()); }
void ServerUser::SendDone() { SendLine(LineBuilder("done").Finish()); }
void ServerUser::SendFileCompleted() { SendLine(LineBuilder("filecompleted").Finish()); }

void ServerUser::SendError(int code) {
    SendLine(LineBuilder("error").Int("number", code).String("message", GetErrorMessage(code)).Finish());
}

void ServerUser::SendPwc() {
    const serverchannel_t channel = GetChannel();
    SendLine(LineBuilder("pwc").String("channel", channel ? channel->GetChannelPath() : std::string()).Finish());
}

void ServerUser::SendLoggedOut() {
    if (IsLoggedIn()) SendLine(LineBuilder("loggedout").Finish());
}

std::string ServerUser::UserLine(const char* word, const ServerUser& user) {
    const serverchannel_t channel = user.GetChannel();
    if (!channel) return std::string();
    return LineBuilder(word)
        .Int("userid", user.GetUserID())
        .String("nickname", user.GetNickname())
        .String("address", user.GetIpAddress())
        .Int("soundport", user.GetUdpAddress().get_port_number())
        .String("channel", channel->GetChannelPath())
        .Int("bandmode", user.GetBandMode())
        .Int("framesize", user.GetFrameSize())
        .Int("encodedframesize", user.GetEncodedFrameSize())
        .Int("fpp", user.GetFramesPerPacket())
        .Int("statusmode", user.GetStatusMode())
        .String("statusmessage", user.GetStatusMessage())
        .String("version", user.GetVersion())
        .Int("packetprotocol", user.GetPacketProtocol())
        .Finish();
}

std::string ServerUser::RemoveUserLine(const ServerUser& user) {
    const serverchannel_t channel = user.GetChannel();
    if (!channel) return std::string();
    return LineBuilder("removeuser").Int("userid", user.GetUserID()).String("channel", channel->GetChannelPath()).Finish();
}

void ServerUser::SendUserLine(const char* word, const std::shared_ptr<ServerUser>& user) {
    if (!IsLoggedIn() || !user) return;
    const std::string line = UserLine(word, *user);
    if (!line.empty()) SendLine(line);
}

void ServerUser::SendAddUser(const std::shared_ptr<ServerUser>& user) { SendUserLine("adduser", user); }
void ServerUser::SendUpdateUser(const std::shared_ptr<ServerUser>& user) { SendUserLine("updateuser", user); }

void ServerUser::SendRemoveUser(const std::shared_ptr<ServerUser>& user) {
    if (!IsLoggedIn() || !user) return;
    const std::string line = RemoveUserLine(*user);
    if (!line.empty()) SendLine(line);
}

void ServerUser::SendNotice(const SharedLine& line) {
    if (IsLoggedIn()) SendShared(line);
}

std::string ServerUser::ChannelLine(const char* word, const serverchannel_t& channel, bool forAdmin) {
    LineBuilder line(word);
    line.String("channel", channel->GetChannelPath());
    if (forAdmin)
        line.String("password", channel->GetPassword()).Bool("static", channel->IsStaticChannel());
    else
        line.Bool("protected", channel->IsPasswordProtected());
    return line.String("topic", channel->GetTopic())
        .List("operators", channel->GetOperators())
        .Int("usercount", channel->GetUsersCount())
        .Int64("diskquota", channel->GetMaxDiskUsage())
        .Finish();
}

void ServerUser::SendChannelLine(const char* word, const serverchannel_t& channel) {
    if (!IsLoggedIn() || !channel) return;
    SendLine(ChannelLine(word, channel, IsAdmin()));
}

void ServerUser::SendAddChannel(const serverchannel_t& channel) { SendChannelLine("addchannel", channel); }
void ServerUser::SendUpdateChannel(const serverchannel_t& channel) { SendChannelLine("updatechannel", channel); }

// The lines that carry nothing but the channel's path.
std::string ServerUser::PathLine(const char* word, const serverchannel_t& channel) {
    return LineBuilder(word).String("channel", channel->GetChannelPath()).Finish();
}

void ServerUser::SendPathLine(const char* word, const serverchannel_t& channel) {
    if (!IsLoggedIn() || !channel) return;
    SendLine(PathLine(word, channel));
}

void ServerUser::SendRemoveChannel(const serverchannel_t& channel) { SendPathLine("removechannel", channel); }
void ServerUser::SendJoined(const serverchannel_t& channel) { SendPathLine("joined", channel); }
void ServerUser::SendLeft(const serverchannel_t& channel) { SendPathLine("left", channel); }

void ServerUser::SendMessageDeliver(const TextMessage& message) {
    if (!IsLoggedIn()) return;
    SendLine(LineBuilder("messagedeliver")
                 .Int("type", message.type)
                 .Int("from", message.from)
                 .String("content", message.content)
                 .String("channel", message.channel)
                 .Finish());
}

void ServerUser::SendUserBanned(const BanRecord& ban) {
    const time_t seconds = static_cast<time_t>(ban.banTime.sec());
    struct tm local;
    char when[64] = {0};
    if (localtime_r(&seconds, &local))
        snprintf(when, sizeof(when), "%d/%.2d/%.2d %.2d:%.2d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min);
    SendLine(LineBuilder("userbanned")
                 .String("address", ban.ipAddress)
                 .String("channel", ban.channelPath)
                 .String("nickname", ban.nickname)
                 .String("bantime", when)
                 .Finish());
}

void ServerUser::SendAddFile(const ChannelFile& file, const serverchannel_t& channel) {
    if (!channel) return;
    SendLine(LineBuilder("addfile")
                 .String("filename", file.filename)
                 .Int64("filesize", file.filesize)
                 .String("channel", channel->GetChannelPath())
                 .Finish());
}

void ServerUser::SendRemoveFile(const std::string& filename, const serverchannel_t& channel) {
    if (!channel) return;
    SendLine(LineBuilder("removefile")
                 .String("filename", filename)
                 .String("channel", channel->GetChannelPath())
                 .Finish());
}

void ServerUser::SendFileShareInfo(const std::string& filesRoot, int64_t diskQuota) {
    SendLine(LineBuilder("fileshareinfo").String("filesroot", filesRoot).Int64("diskquota", diskQuota).Finish());
}

void ServerUser::SendFileAccepted(int transferId) {
    SendLine(LineBuilder("fileaccepted").Int("transferid", transferId).Finish());
}

void ServerUser::SendFileRejected(int code) { SendLine(LineBuilder("filerejected").Int("number", code).Finish()); }

void ServerUser::SendFileDeliver(int64_t filesize, const std::string& filename) {
    SendLine(LineBuilder("filedeliver").Int64("filesize", filesize).String("filename", filename).Finish());
}

void ServerUser::SendFileReady(int transferId, int64_t filesize) {
    SendLine(LineBuilder("fileready").Int("transferid", transferId).Int64("filesize", filesize).Finish());
}

void ServerUser::SendChannels(const serverchannel_t& channel) {
    WalkChannels(channel, true, [this](const serverchannel_t& c) { SendAddChannel(c); });
}

void ServerUser::SendUsers(const serverchannel_t& channel, bool recursive) {
    WalkChannels(channel, recursive, [this](const serverchannel_t& c) {
        const std::vector<serveruser_t> users = c->GetUsers();
        for (size_t i = 0; i < users.size(); ++i) SendAddUser(users[i]);
    });
}

void ServerUser::SendFiles(const serverchannel_t& channel, bool recursive) {
    WalkChannels(channel, recursive, [this](const serverchannel_t& c) {
        const ServerChannel::files_t& files = c->GetFiles();
        for (size_t i = 0; i < files.size(); ++i) SendAddFile(files[i], c);
    });
}

}  // namespace server
}  // namespace quorvane
