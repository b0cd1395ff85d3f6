// The text of every line the server sends, each built by LineBuilder from its parameter
// list. Pure: nothing is sent here; lines that many users receive are built once.
#ifndef QUORVANE_SERVER_LINEWRITER_H
#define QUORVANE_SERVER_LINEWRITER_H

#include <cstdint>
#include <string>

#include "model/ChannelFile.h"
#include "server/BanRecord.h"
#include "server/TextMessage.h"

namespace quorvane {
namespace server {

class ServerChannel;
class ServerUser;

class LineWriter {
public:
    // Lines of the session.
    static std::string Welcome(int userId, const std::string& serverName, const std::string& motd, bool allowChannels,
                               bool allowOperators);
    static std::string ServerUpdate(const std::string& serverName, const std::string& motd, bool allowChannels,
                                    bool allowOperators);
    static std::string Accepted(const ServerUser& user);
    static std::string YouAre(const ServerUser& user);
    static std::string Pwc(const ServerUser& user);
    static std::string Error(int code);
    // "pong", "ok", "done", "loggedout", "filecompleted": the word alone.
    static std::string Word(const char* word);
    static std::string Pong() { return Word("pong"); }
    static std::string Ok() { return Word("ok"); }
    static std::string Done() { return Word("done"); }

    // Lines about users and channels.
    // "adduser"/"updateuser" about the user; empty when it is in no channel.
    static std::string User(const char* word, const ServerUser& user);
    // "removeuser" about the user; empty when it is in no channel.
    static std::string RemoveUser(const ServerUser& user);
    // "addchannel"/"updatechannel"; administrators see the password and the static flag.
    static std::string Channel(const char* word, const ServerChannel& channel, bool forAdmin);
    // The lines that carry nothing but the channel's path ("joined", "left", "removechannel").
    static std::string Path(const char* word, const ServerChannel& channel);
    static std::string MessageDeliver(const TextMessage& message);
    static std::string UserBanned(const BanRecord& ban);
    // "userinfo" about any connection, for the administrator's list: the address of its
    // command connection, its channel (empty when in none), its login and idle time.
    static std::string UserInfo(const ServerUser& user);

    // File lines.
    static std::string AddFile(const ChannelFile& file, const ServerChannel& channel);
    static std::string RemoveFile(const std::string& filename, const ServerChannel& channel);
    static std::string FileShareInfo(const std::string& filesRoot, int64_t diskQuota);
    static std::string FileAccepted(int transferId);
    static std::string FileRejected(int code);
    static std::string FileDeliver(int64_t filesize, const std::string& filename);
    static std::string FileReady(int transferId, int64_t filesize);
};

}  // namespace server
}  // namespace quorvane

#endif
