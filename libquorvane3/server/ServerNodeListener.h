// What the server node reports: the event log and the persistence glue implement it.
// Every callback may be left empty. Called on the thread that drives the node: the
// host's during start-up and shutdown, the main loop's while the server runs.
#ifndef QUORVANE_SERVER_SERVERNODELISTENER_H
#define QUORVANE_SERVER_SERVERNODELISTENER_H

#include <functional>
#include <memory>

#include <ace/INET_Addr.h>

#include "model/ChannelFile.h"
#include "server/SecurityEvent.h"
#include "server/TextMessage.h"

namespace quorvane {
namespace server {

class ServerNode;
class ServerUser;
class ServerChannel;
typedef std::shared_ptr<ServerUser> serveruser_t;
typedef std::shared_ptr<ServerChannel> serverchannel_t;

class ServerNodeListener {
public:
    // Told whether a save asked for was written; on the loop's thread, perhaps after the
    // call that asked for it has returned.
    typedef std::function<void(bool saved)> SaveDone;

    virtual ~ServerNodeListener() = default;

    virtual void OnUserConnected(const serveruser_t& user, const ACE_INET_Addr& peer) {}
    virtual void OnUserLoggedIn(const serveruser_t& user) {}
    virtual void OnUserDisconnected(const serveruser_t& user) {}
    virtual void OnUserDropped(const serveruser_t& user) {}
    // The user's output was full: its connection closes on a later turn of the loop.
    virtual void OnUserLagging(const serveruser_t& user) {}
    // A failed login, a lockout, an administrator login, a kick, a ban or an unban.
    virtual void OnSecurityEvent(const SecurityEvent& event) {}
    virtual void OnUserJoinedChannel(const serveruser_t& user, const serverchannel_t& channel) {}
    virtual void OnUserTextMessage(const serveruser_t& sender, const serveruser_t& receiver,
                                   const TextMessage& message) {}
    virtual void OnChannelTextMessage(const serveruser_t& sender, const serverchannel_t& channel,
                                      const TextMessage& message) {}
    virtual void OnChannelCreated(const serverchannel_t& channel) {}
    virtual void OnChannelUpdated(const serverchannel_t& channel) {}
    virtual void OnChannelRemoved(const serverchannel_t& channel) {}
    virtual void OnFileUploaded(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {}
    virtual void OnFileDownloaded(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {}
    virtual void OnFileDeleted(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) {}
    virtual void OnFileAdded(const serverchannel_t& channel, const ChannelFile& file) {}
    virtual void OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) {}
    virtual void OnSaveConfiguration(ServerNode& node) {}
    // A ban or an unban changed the node's ban table: the listener keeps it (each change
    // is written through, so no ban the server accepted is lost at a stop or a crash).
    virtual void OnBansChanged(ServerNode& node) {}
    // The administrator's save: the configuration as above, then done told whether every
    // file was written.
    virtual void OnSaveRequested(ServerNode& node, const SaveDone& done) {
        OnSaveConfiguration(node);
        if (done) done(true);
    }
};

}  // namespace server
}  // namespace quorvane

#endif
