// What the service host gives the server node to report to: the event log lines of
// users and files (ServerListener.cpp), and the persistence callbacks that keep the
// files list, the settings and the ban list current (ServerListenerPersistence.cpp).
// With a storage writer the documents are changed here and written by its thread;
// without one every save writes at once. Called on the thread that drives the node
// (the host's at start-up, the main loop's afterwards).
#ifndef QUORVANE_LISTENERS_SERVERLISTENER_H
#define QUORVANE_LISTENERS_SERVERLISTENER_H

#include <functional>
#include <string>

#include "listeners/Persistence.h"
#include "server/ServerNodeListener.h"

namespace quorvane {

class BanList;
class EventLog;
class FilesList;
class QuorvaneSettings;
class StorageWriter;

namespace server {

class ServerListener : public ServerNodeListener {
public:
    // Told the text of every failed save, for the host to report.
    typedef std::function<void(const std::string&)> ErrorReporter;

    // The log may be null (logging off), and so may the writer (saves write at once);
    // the documents and the writer outlive the listener.
    ServerListener(QuorvaneSettings& settings, BanList& banList, FilesList& filesList, EventLog* log = nullptr,
                   ErrorReporter reportError = ErrorReporter(), StorageWriter* writer = nullptr);

    // The static channels that could not be made at start-up: every save writes them back.
    void KeepStaticChannels(const SkippedStaticChannels& skipped) { skippedChannels_ = skipped; }

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

    void OnFileAdded(const serverchannel_t& channel, const ChannelFile& file) override;
    void OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) override;
    // Writes the settings, the static channel tree and the ban list (whole, an empty
    // one included), each file once, and the files list.
    void OnSaveConfiguration(ServerNode& node) override;
    void OnSaveRequested(ServerNode& node, const SaveDone& done) override;
    // Writes the ban list, through the writer when there is one.
    void OnBansChanged(ServerNode& node) override { WriteBans(node); }
    // The node's live ban table into the ban list, whole (an empty one too), and saved;
    // false (and reported) when the save failed at once. The host calls it at the stop.
    bool WriteBans(ServerNode& node);

private:
    void Log(const std::string& text);
    void ReportFailedSave(const char* what, const std::string& path);
    // "User #<id> name: "<nickname>" " as most lines begin.
    static std::string UserPart(const serveruser_t& user);
    void FileLine(const serveruser_t& user, const char* action, const ChannelFile& file, const char* direction,
                  const serverchannel_t& channel);

    QuorvaneSettings& settings_;
    BanList& banList_;
    FilesList& filesList_;
    EventLog* log_;
    ErrorReporter reportError_;
    StorageWriter* writer_;
    SkippedStaticChannels skippedChannels_;
};

}  // namespace server
}  // namespace quorvane

#endif
