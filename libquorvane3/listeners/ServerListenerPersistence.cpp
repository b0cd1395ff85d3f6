// ServerListener: the callbacks that keep the files list, the settings and the ban list
// current. Each file is written once per event, with its final content (with a storage
// writer, once per turn of the loop or fewer).
#include <ctime>

#include "listeners/Persistence.h"
#include "listeners/ServerListener.h"
#include "listeners/StorageWriter.h"
#include "server/ServerNode.h"
#include "settings/BanList.h"
#include "settings/FilesList.h"
#include "settings/QuorvaneSettings.h"

namespace quorvane {
namespace server {

void ServerListener::ReportFailedSave(const char* what, const std::string& path) {
    const std::string text = std::string("Quorvane service failed to save ") + what + " file: " + path + ".";
    Log(text);
    if (reportError_) reportError_(text);
}

void ServerListener::OnFileAdded(const serverchannel_t& channel, const ChannelFile& file) {
    FileEntry entry;
    entry.name = file.filename;
    entry.internalname = file.internalName;
    entry.filesize = file.filesize;
    entry.uploaddate = static_cast<int64_t>(time(nullptr));
    if (!filesList_.AddFileEntry(channel->GetChannelPath(), entry))
        ReportFailedSave("files-list", filesList_.GetFileName());
}

void ServerListener::OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) {
    if (!filesList_.RemoveFileEntry(channel->GetChannelPath(), file.filename))
        ReportFailedSave("files-list", filesList_.GetFileName());
}

void ServerListener::OnSaveConfiguration(ServerNode& node) { OnSaveRequested(node, SaveDone()); }

void ServerListener::OnSaveRequested(ServerNode& node, const SaveDone& done) {
    settings_.BeginBatch();
    settings_.SetServerName(node.Properties().GetServerName());
    settings_.SetServerPassword(node.Properties().GetServerPassword());
    settings_.SetMotd(node.Properties().GetMotd());
    settings_.SetRootTopic(node.Channels().GetRootChannel()->GetTopic());
    settings_.SetRootDiskQuota(node.Channels().GetRootDiskQuota());
    settings_.SetFilesRoot(node.Files().GetFilesRoot());
    settings_.SetChannelDiskQuota(node.Properties().GetChannelDiskQuota());
    const std::string adminName = node.Admin().GetAdminUsername(), adminPassword = node.Admin().GetAdminPassword();
    settings_.SetAdminEnabled(!adminName.empty() && !adminPassword.empty());
    settings_.SetAdminUsername(adminName);
    settings_.SetAdminPassword(adminPassword);
    StaticChannelTable table;
    CollectStaticChannels(node.Channels().GetRootChannel(), table, true);
    AddSkippedChannels(table, skippedChannels_);
    settings_.WriteStaticChannels(table);
    settings_.SetAllowChannelCreation(node.Properties().GetAllowChannelCreation());
    settings_.SetAllowOperators(node.Properties().GetAllowOperators());
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

bool ServerListener::WriteBans(ServerNode& node) {
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
