// Keeps the files list, the settings and the ban list current as the node reports its
// changes: files added and removed, bans changed, the configuration saved. With a storage
// writer the documents are changed here and written by its thread; without one every save
// writes at once. Called on the thread that drives the node (the host's at start-up, the
// main loop's afterwards).
#ifndef QUORVANE_LISTENERS_PERSISTENCELISTENER_H
#define QUORVANE_LISTENERS_PERSISTENCELISTENER_H

#include <functional>
#include <string>

#include "listeners/Persistence.h"
#include "server/ServerNodeListener.h"

namespace quorvane {

class BanList;
class FilesList;
class QuorvaneSettings;
class StorageWriter;

namespace server {

class PersistenceListener : public ServerNodeListener {
public:
    // Told the text of every failed save, for the host to report.
    typedef std::function<void(const std::string&)> ErrorReporter;

    // The writer may be null (saves write at once); the documents and the writer outlive
    // the listener.
    PersistenceListener(QuorvaneSettings& settings, BanList& banList, FilesList& filesList,
                        ErrorReporter reportError = ErrorReporter(), StorageWriter* writer = nullptr);

    // The static channels that could not be made at start-up: every save writes them back.
    void KeepStaticChannels(const SkippedStaticChannels& skipped) { skippedChannels_ = skipped; }

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
    void ReportFailedSave(const char* what, const std::string& path);

    QuorvaneSettings& settings_;
    BanList& banList_;
    FilesList& filesList_;
    ErrorReporter reportError_;
    StorageWriter* writer_;
    SkippedStaticChannels skippedChannels_;
};

}  // namespace server
}  // namespace quorvane

#endif
