// Who may use a command, and on what. Every command of CommandTable carries one Rule:
// the states its sender must be in (logged in, not yet logged in, the administrator,
// ...) and who it must be for the channel the command acts on (a member of a channel
// with a password, an operator of it). The states are checked before the handler runs,
// the channel once the handler has read its parameters (CommandTable says the order); a
// sender the rule refuses gets the error and the command does nothing.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_ACCESSPOLICY_H
#define QUORVANE_SERVER_ACCESSPOLICY_H

#include <string>

#include "server/ServerChannel.h"

namespace quorvane {
namespace server {

class ChannelTree;
class ServerProperties;
class ServerUser;

class AccessPolicy {
public:
    // What the sender must be, each with the error it answers.
    enum State {
        ANY_STATE = 0,
        LOGGED_IN,      // 301: logged in, as a user or as the administrator
        NOT_LOGGED_IN,  // 300: not logged in yet
        NOT_ADMIN,      // 206: not the administrator (a command of users)
        ADMIN,          // 205: the administrator
        VOICE_HELLO,    // 302: its voice hello has arrived
    };
    // Who the sender must be for the target channel. The administrator passes each.
    enum Who {
        ANYONE,
        // 201: a member of the target channel when it has a password (or a client the
        // loopback exemption trusts). Nobody else reads or writes a protected channel.
        MEMBER_IF_PROTECTED,
        // 203: an operator of the target channel.
        OPERATOR,
        // 203: an operator of the target channel who is in it; also when there is none.
        OPERATOR_IN_CHANNEL,
        // Anyone may ask; only the administrator's request changes anything.
        ADMIN_CHANGES,
    };
    // The channel a command acts on.
    enum Target {
        NO_TARGET,
        NAMED_CHANNEL,    // its "channel" parameter
        MESSAGE_CHANNEL,  // a channel message's channel: "channel", or the sender's own when empty
        // The sender's channel when the user named by "userid" is another member of it;
        // none otherwise (the command answers that there is no such user).
        MEMBER_OF_OWN_CHANNEL,
    };

    struct Rule {
        State states[3];  // checked in order, up to the first ANY_STATE
        Who who;
        Target target;
    };

    // The error that refuses the sender for its state, 0 when it is in every state the
    // rule asks for.
    static int CheckStates(const Rule& rule, const ServerUser& user);
    // The error that refuses the sender for the channel of the tree the command line acts
    // on, 0 when the rule lets it. A target channel that does not exist is not judged here:
    // the command answers that itself.
    static int CheckChannel(const Rule& rule, const ServerUser& user, const std::string& line, const ChannelTree& tree,
                            const ServerProperties& properties);
    // Whether the rule lets the sender change what it asks for (ADMIN_CHANGES).
    static bool MayChange(const Rule& rule, const ServerUser& user);
    // The loopback exemption: a client on the server's own host (its command connection
    // comes from 127.0.0.1 or ::1, as its voice must too) enters protected channels without
    // their password, unless the server's trust-loopback setting is off.
    static bool TrustedLoopback(const ServerUser& user, const ServerProperties& properties);

private:
    static int CheckState(State state, const ServerUser& user);
    static serverchannel_t FindTarget(Target target, const ServerUser& user, const std::string& line,
                                      const ChannelTree& tree);
};

}  // namespace server
}  // namespace quorvane

#endif
