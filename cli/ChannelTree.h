// What the client knows of the server: its name and rules, the channels, the users it
// can see and the shared files, kept up to date from the server's lines.
#ifndef QUORVANE_CLI_CHANNELTREE_H
#define QUORVANE_CLI_CHANNELTREE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Output.h"

namespace quorvane {
namespace cli {

struct ChannelInfo {
    std::string path;
    std::string topic;
    std::string password;  // known to an administrator only
    bool isProtected = false;
    bool isStatic = false;
    std::string operators;  // the ids as the server lists them: 1,4,9
    int userCount = 0;
    int64_t diskQuota = 0;
    std::map<std::string, int64_t> files;  // name -> size
};

struct UserInfo {
    int id = 0;
    std::string nickname;
    std::string channel;
    std::string address;
    int statusMode = 0;
    std::string statusMessage;
    std::string version;
};

class ChannelTree {
public:
    // Takes one server line (without CR LF) into the model; false when it is not one
    // that changes what the client knows.
    bool Apply(const std::string& line);

    const ChannelInfo* FindChannel(const std::string& path) const;
    const UserInfo* FindUser(int id) const;
    // The id of the user with this nickname: an exact match first, else the only one that
    // matches regardless of letter case; 0 when there is none or the name is ambiguous.
    int FindUserByNickname(const std::string& nickname) const;
    std::vector<std::string> ChannelPaths() const;
    std::vector<std::string> Nicknames() const;
    std::vector<std::string> FileNames(const std::string& channel) const;

    // The tree as text for people: one channel a line, its users and files indented;
    // the administrator's also shows each user's address.
    std::string Render() const;
    // The same as rows for scripts: kind, then the fields of the channel, user or file
    // (a user's address last, for the administrator).
    std::vector<Record> Rows() const;

    int ownId = 0;
    std::string ownNickname;
    std::string ownChannel;  // empty: in no channel
    bool administrator = false;
    bool loggedIn = false;
    std::string serverName;
    std::string motd;
    bool channelCreation = false;
    bool operatorsAllowed = false;

private:
    ChannelInfo* MutableChannel(const std::string& path);
    void ApplyChannel(const std::string& line);
    void ApplyUser(const std::string& line);
    void ApplyServer(const std::string& line);
    void ApplyFile(const std::string& line, bool add);
    void ApplyOwnChannel(const std::string& channel);

    std::map<std::string, ChannelInfo> channels_;  // by lower-case path
    std::map<int, UserInfo> users_;
};

// Path rules of the client: a leading and a trailing slash are added when missing, so
// "Lobby" and "/Lobby" both name "/Lobby/".
std::string NormalizeChannelPath(const std::string& path);

}  // namespace cli
}  // namespace quorvane

#endif
