#include "server/LineWriter.h"

#include <cstdio>
#include <ctime>

#include "protocol/ErrorCodes.h"
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

}  // namespace

std::string LineWriter::Welcome(int userId, const std::string& serverName, const std::string& motd, bool allowChannels,
                                bool allowOperators) {
    return LineBuilder("welcome")
        .Int("userid", userId)
        .String("servername", serverName)
        .String("motd", motd)
        .Bool("forwarding", true)
        .Bool("channels", allowChannels)
        .Bool("operators", allowOperators)
        .String("protocol", CLIENT_PROTOCOL_VERSION)
        .Finish();
}

std::string LineWriter::ServerUpdate(const std::string& serverName, const std::string& motd, bool allowChannels,
                                     bool allowOperators) {
    return LineBuilder("serverupdate")
        .String("servername", serverName)
        .String("motd", motd)
        .Bool("forwarding", true)
        .Bool("channels", allowChannels)
        .Bool("operators", allowOperators)
        .Finish();
}

std::string LineWriter::Accepted(const ServerUser& user) {
    LineBuilder line("accepted");
    return AppendSelf(line, user).Int("fpp", user.GetFramesPerPacket()).Finish();
}

std::string LineWriter::YouAre(const ServerUser& user) {
    LineBuilder line("youare");
    return AppendSelf(line, user).Finish();
}

std::string LineWriter::Pwc(const ServerUser& user) {
    const serverchannel_t channel = user.GetChannel();
    return LineBuilder("pwc").String("channel", channel ? channel->GetChannelPath() : std::string()).Finish();
}

std::string LineWriter::Error(int code) {
    return LineBuilder("error").Int("number", code).String("message", GetErrorMessage(code)).Finish();
}

std::string LineWriter::Word(const char* word) { return LineBuilder(word).Finish(); }

std::string LineWriter::User(const char* word, const ServerUser& user) {
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

std::string LineWriter::RemoveUser(const ServerUser& user) {
    const serverchannel_t channel = user.GetChannel();
    if (!channel) return std::string();
    return LineBuilder("removeuser")
        .Int("userid", user.GetUserID())
        .String("channel", channel->GetChannelPath())
        .Finish();
}

std::string LineWriter::Channel(const char* word, const ServerChannel& channel, bool forAdmin) {
    LineBuilder line(word);
    line.String("channel", channel.GetChannelPath());
    if (forAdmin) line.String("password", channel.GetPassword()).Bool("static", channel.IsStaticChannel());
    else line.Bool("protected", channel.IsPasswordProtected());
    return line.String("topic", channel.GetTopic())
        .List("operators", channel.GetOperators())
        .Int("usercount", channel.GetUsersCount())
        .Int64("diskquota", channel.GetMaxDiskUsage())
        .Finish();
}

std::string LineWriter::Path(const char* word, const ServerChannel& channel) {
    return LineBuilder(word).String("channel", channel.GetChannelPath()).Finish();
}

std::string LineWriter::MessageDeliver(const TextMessage& message) {
    return LineBuilder("messagedeliver")
        .Int("type", message.type)
        .Int("from", message.from)
        .String("content", message.content)
        .String("channel", message.channel)
        .Finish();
}

std::string LineWriter::UserBanned(const BanRecord& ban) {
    const time_t seconds = static_cast<time_t>(ban.banTime.sec());
    struct tm local;
    char when[64] = {0};
    if (localtime_r(&seconds, &local))
        snprintf(when, sizeof(when), "%d/%.2d/%.2d %.2d:%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                 local.tm_hour, local.tm_min);
    return LineBuilder("userbanned")
        .String("address", ban.ipAddress)
        .String("channel", ban.channelPath)
        .String("nickname", ban.nickname)
        .String("bantime", when)
        .Finish();
}

std::string LineWriter::UserInfo(const ServerUser& user) {
    const serverchannel_t channel = user.GetChannel();
    return LineBuilder("userinfo")
        .Int("userid", user.GetUserID())
        .String("nickname", user.GetNickname())
        .String("address", user.GetPeerIpAddress())
        .String("channel", channel ? channel->GetChannelPath() : std::string())
        .Bool("loggedin", user.IsLoggedIn())
        .Bool("admin", user.IsAdmin())
        .Int("idleseconds", user.GetIdleSeconds())
        .Finish();
}

std::string LineWriter::AddFile(const ChannelFile& file, const ServerChannel& channel) {
    return LineBuilder("addfile")
        .String("filename", file.filename)
        .Int64("filesize", file.filesize)
        .String("channel", channel.GetChannelPath())
        .Finish();
}

std::string LineWriter::RemoveFile(const std::string& filename, const ServerChannel& channel) {
    return LineBuilder("removefile").String("filename", filename).String("channel", channel.GetChannelPath()).Finish();
}

std::string LineWriter::FileShareInfo(const std::string& filesRoot, int64_t diskQuota) {
    return LineBuilder("fileshareinfo").String("filesroot", filesRoot).Int64("diskquota", diskQuota).Finish();
}

std::string LineWriter::FileAccepted(int transferId) {
    return LineBuilder("fileaccepted").Int("transferid", transferId).Finish();
}

std::string LineWriter::FileRejected(int code) { return LineBuilder("filerejected").Int("number", code).Finish(); }

std::string LineWriter::FileDeliver(int64_t filesize, const std::string& filename) {
    return LineBuilder("filedeliver").Int64("filesize", filesize).String("filename", filename).Finish();
}

std::string LineWriter::FileReady(int transferId, int64_t filesize) {
    return LineBuilder("fileready").Int("transferid", transferId).Int64("filesize", filesize).Finish();
}

}  // namespace server
}  // namespace quorvane
