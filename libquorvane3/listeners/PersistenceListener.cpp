// Each file is written once per event, with its final content (with a storage writer,
// once per turn of the loop or fewer).
#include "listeners/PersistenceListener.h"

#include <ctime>
#include <utility>

#include "listeners/StorageWriter.h"
#include "server/ServerNode.h"
#include "settings/BanList.h"
#include "settings/FilesList.h"
#include "settings/QuorvaneSettings.h"

namespace quorvane {
namespace server {

PersistenceListener::PersistenceListener(QuorvaneSettings& settings, BanList& banList, FilesList& filesList,
                                         ErrorReporter reportError, StorageWriter* writer)
    : settings_(settings),
      banList_(banList),
      filesList_(filesList),
      reportError_(std::move(reportError)),
      writer_(writer) {}

void PersistenceListener::ReportFailedSave(const char* what, const std::string& path) {
    if (reportError_) reportError_(std::string("Quorvane service failed to save ") + what + " file: " + path + ".");
}

void PersistenceListener::OnFileAdded(const serverchannel_t& channel, const ChannelFile& file) {
    FileEntry entry;
    entry.name = file.filename;
    entry.internalname = file.internalName;
    entry.filesize = file.filesize;
    entry.uploaddate = static_cast<int64_t>(time(nullptr));
    if (!filesList_.AddFileEntry(channel->GetChannelPath(), entry))
        ReportFailedSave("files-list", filesList_.GetFileName());
}

void PersistenceListener::OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) {
    if (!filesList_.RemoveFileEntry(channel->GetChannelPath(), file.filename))
        ReportFailedSave("files-list", filesList_.GetFileName());
}

void PersistenceListener::OnSaveConfiguration(ServerNode& node) { OnSaveRequested(node, SaveDone()); }

void PersistenceListener::OnSaveRequested(ServerNode& node, const SaveDone& done) {
    settings_.BeginBatch();
    settings_.PutText("server-name", node.Properties().GetServerName());
    settings_.PutText("server-password", node.Properties().GetServerPassword());
    settings_.PutText("motd", node.Properties().GetMotd());
    settings_.PutText("root-topic", node.Channels().GetRootChannel()->GetTopic());
    settings_.PutNumber("root-diskquota", node.Channels().GetRootDiskQuota());
    settings_.PutText("files-root", node.Files().GetFilesRoot());
    settings_.PutNumber("channel-diskquota", node.Properties().GetChannelDiskQuota());
    const std::string adminName = node.Admin().GetAdminUsername(), adminPassword = node.Admin().GetAdminPassword();
    settings_.PutFlag("admin-enabled", !adminName.empty() && !adminPassword.empty());
    settings_.PutText("admin-username", adminName);
    settings_.PutText("admin-password", adminPassword);
    StaticChannelTable table;
    CollectStaticChannels(node.Channels().GetRootChannel(), table, true);
    AddSkippedChannels(table, skippedChannels_);
    settings_.WriteStaticChannels(table);
    settings_.PutFlag("allow-channel-creation", node.Properties().GetAllowChannelCreation());
    settings_.PutFlag("allow-operators", node.Properties().GetAllowOperators());
    const bool settingsSaved = settings_.EndBatch();
    if (!settingsSaved) ReportFailedSave("settings", settings_.GetFileName());

    const bool bansSaved = WriteBans(node);

    if (writer_ && writer_->Running()) {
        // Each document as it stands now, the files list too; done hears when all are written.
        writer_->SaveAll(done);
        return;
    }
    const bool filesSaved = filesList_.SaveXMLFile();
    if (!filesSaved) ReportFailedSave("files-list", filesList_.GetFileName());
    if (done) done(settingsSaved && bansSaved && filesSaved);
}

bool PersistenceListener::WriteBans(ServerNode& node) {
    banList_.BeginBatch();
    banList_.ClearBanEntries();
    const ServerNode::bans_t bans = node.Bans().GetBans();
    for (ServerNode::bans_t::const_iterator it = bans.begin(); it != bans.end(); ++it)
        banList_.AddBanEntry(ToBanEntry(it->second));
    banList_.SaveXMLFile();  // in the batch: the list is written whole, also when it is empty
    const bool saved = banList_.EndBatch();
    if (!saved) ReportFailedSave("ban-list", banList_.GetFileName());
    return saved;
}

}  // namespace server
}  // namespace quorvane
