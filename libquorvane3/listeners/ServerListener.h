// The event log's lines of what users and files do, written as the node reports it; every
// callback then goes on to the next listener (the persistence, say), so that the node,
// which reports to one listener, is heard by both. Called on the thread that drives the
// node (the host's at start-up, the main loop's afterwards).
#ifndef QUORVANE_LISTENERS_SERVERLISTENER_H
#define QUORVANE_LISTENERS_SERVERLISTENER_H

#include <string>
#include <utility>

#include "server/ServerNodeListener.h"

namespace quorvane {

class EventLog;

namespace server {

class ServerListener : public ServerNodeListener {
public:
    // The log may be null (logging off), and so may the next listener; both outlive this one.
    explicit ServerListener(EventLog* log, ServerNodeListener* next = nullptr);

    void OnUserConnected(const serveruser_t& user, const ACE_INET_Addr& peer) override;
    void OnUserLoggedIn(const serveruser_t& user) override;
    void OnUserDisconnected(const serveruser_t& user) override;
    void OnUserDropped(const serveruser_t& user) override;
    void OnUserLagging(const serveruser_t& user) override;
    // "Security: ..." lines, one an event, each with the address it is about.
    void OnSecurityEvent(const SecurityEvent& event) override;
    void OnUserJoinedChannel(const serveruser_t& user, const serverchannel_t& channel) override;
    void OnUserTextMessage(const serveruser_t& sender, const serveruser_t& receiver,
                           const TextMessage& message) override;
    void OnChannelTextMessage(const serveruser_t& sender, const serverchannel_t& channel,
                              const TextMessage& message) override;
    void OnFileUploaded(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) override;
    void OnFileDownloaded(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) override;
    void OnFileDeleted(const serveruser_t& user, const serverchannel_t& channel, const ChannelFile& file) override;

    // Only passed on.
    void OnChannelCreated(const serverchannel_t& channel) override;
    void OnChannelUpdated(const serverchannel_t& channel) override;
    void OnChannelRemoved(const serverchannel_t& channel) override;
    void OnFileAdded(const serverchannel_t& channel, const ChannelFile& file) override;
    void OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) override;
    void OnSaveConfiguration(ServerNode& node) override;
    void OnSaveRequested(ServerNode& node, const SaveDone& done) override;
    void OnBansChanged(ServerNode& node) override;

private:
    // Hands the callback on to the next listener, if any.
    template <typename... Params, typename... Args>
    void Pass(void (ServerNodeListener::*callback)(Params...), Args&&... args) {
        if (next_) (next_->*callback)(std::forward<Args>(args)...);
    }
    void Log(const std::string& text);
    // "User #<id> name: "<nickname>" " as most lines begin.
    static std::string UserPart(const serveruser_t& user);
    void FileLine(const serveruser_t& user, const char* action, const ChannelFile& file, const char* direction,
                  const serverchannel_t& channel);

    EventLog* log_;
    ServerNodeListener* next_;
};

}  // namespace server
}  // namespace quorvane

#endif
