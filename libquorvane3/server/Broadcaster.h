// Lines to many users at once. Each line is built once (per kind of receiver) and
// queued on every connection by reference, not formatted and copied per user.
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_BROADCASTER_H
#define QUORVANE_SERVER_BROADCASTER_H

#include <string>
#include <vector>

#include "server/ServerChannel.h"
#include "server/ServerUser.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class UserRegistry;

class Broadcaster {
public:
    Broadcaster(ACE_Reactor* loop, UserRegistry& users) : loop_(loop), users_(users) {}

    // The channel's "addchannel" or "updatechannel" line to every logged-in user in id
    // order; administrators see the password and the static flag.
    void ChannelLineToAll(const char* word, const serverchannel_t& channel);
    // "removechannel" to every logged-in user.
    void RemoveChannelToAll(const serverchannel_t& channel);
    // The line to each receiver that is logged in; nothing when the text is empty.
    static void Notify(const std::vector<serveruser_t>& receivers, const std::string& text);
    // The line to every logged-in administrator.
    void NotifyAdmins(const std::string& text);
    // The line to the channel's members and to every logged-in administrator, in every
    // state (file lines).
    void ToChannelAndAdmins(const serverchannel_t& channel, const std::string& text);

private:
    ACE_Reactor* const loop_;
    UserRegistry& users_;
};

}  // namespace server
}  // namespace quorvane

#endif
