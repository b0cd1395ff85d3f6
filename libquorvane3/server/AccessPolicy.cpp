#include "server/AccessPolicy.h"

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/ChannelTree.h"
#include "server/ServerProperties.h"
#include "server/ServerUser.h"
#include "server/TextMessage.h"

namespace quorvane {
namespace server {

namespace {

// The server's own host by either family: a local client that a name such as localhost
// took to ::1 is as trusted as one on 127.0.0.1.
bool IsLoopback(const std::string& address) { return address == "127.0.0.1" || address == "::1"; }

}  // namespace

int AccessPolicy::CheckState(State state, const ServerUser& user) {
    switch (state) {
    case LOGGED_IN: return user.IsLoggedIn() ? ERR_SUCCESS : ERR_NOT_LOGGEDIN;
    case NOT_LOGGED_IN: return user.IsLoggedIn() ? ERR_ALREADY_LOGGEDIN : ERR_SUCCESS;
    case NOT_ADMIN: return user.IsAdmin() ? ERR_REQUIRES_USER_LOGON : ERR_SUCCESS;
    case ADMIN: return user.IsAdmin() ? ERR_SUCCESS : ERR_NOT_ADMIN;
    case VOICE_HELLO: return user.IsUdpConnected() ? ERR_SUCCESS : ERR_NOT_UDPCONNECTED;
    case ANY_STATE: break;
    }
    return ERR_SUCCESS;
}

bool AccessPolicy::TrustedLoopback(const ServerUser& user, const ServerProperties& properties) {
    return properties.GetTrustLoopback() && IsLoopback(user.GetPeerIpAddress());
}

serverchannel_t AccessPolicy::FindTarget(Target target, const ServerUser& user, const std::string& line,
                                         const ChannelTree& tree) {
    std::string path;
    switch (target) {
    case NO_TARGET: return serverchannel_t();
    case MEMBER_OF_OWN_CHANNEL: {
        serverchannel_t own = user.GetChannel();
        int member = 0;
        if (!own || !GetIntParam(line, "userid", member) || member == user.GetUserID() || !own->UserExists(member))
            return serverchannel_t();
        return own;
    }
    case MESSAGE_CHANNEL: {
        int type = 0;
        if (!GetIntParam(line, "type", type) || type != TEXTMSG_CHANNEL) return serverchannel_t();
        if (!GetStringParam(line, "channel", path)) return serverchannel_t();
        if (path.empty()) return user.GetChannel();
        break;
    }
    case NAMED_CHANNEL:
        if (!GetStringParam(line, "channel", path)) return serverchannel_t();
        break;
    }
    return tree.FindChannel(path);
}

int AccessPolicy::CheckStates(const Rule& rule, const ServerUser& user) {
    for (size_t i = 0; i < 3 && rule.states[i] != ANY_STATE; ++i) {
        const int error = CheckState(rule.states[i], user);
        if (error != ERR_SUCCESS) return error;
    }
    return ERR_SUCCESS;
}

int AccessPolicy::CheckChannel(const Rule& rule, const ServerUser& user, const std::string& line,
                               const ChannelTree& tree, const ServerProperties& properties) {
    if (rule.who == ANYONE || rule.who == ADMIN_CHANGES || user.IsAdmin()) return ERR_SUCCESS;
    const serverchannel_t channel = FindTarget(rule.target, user, line, tree);
    const int userId = user.GetUserID();
    switch (rule.who) {
    case MEMBER_IF_PROTECTED:
        if (!channel || !channel->IsPasswordProtected() || channel->UserExists(userId) ||
            TrustedLoopback(user, properties))
            return ERR_SUCCESS;
        return ERR_INCORRECT_CHANNEL_PASSWORD;
    case OPERATOR: return !channel || channel->IsOperator(userId) ? ERR_SUCCESS : ERR_NOT_AUTHORIZED;
    case OPERATOR_IN_CHANNEL:
        return channel && channel->SameChannel(user.GetChannel()) && channel->IsOperator(userId) ? ERR_SUCCESS
                                                                                                 : ERR_NOT_AUTHORIZED;
    case ANYONE:
    case ADMIN_CHANGES: break;
    }
    return ERR_SUCCESS;
}

bool AccessPolicy::MayChange(const Rule& rule, const ServerUser& user) {
    return rule.who != ADMIN_CHANGES || user.IsAdmin();
}

}  // namespace server
}  // namespace quorvane
