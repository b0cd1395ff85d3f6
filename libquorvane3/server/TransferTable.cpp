#include "server/TransferTable.h"

#include <unistd.h>

#include "protocol/ErrorCodes.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

namespace {

const int MAX_TRANSFER_ID = 2147483646;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

}  // namespace

int TransferTable::TakeTransferId() {
    do {
        lastTransferId_ = lastTransferId_ >= MAX_TRANSFER_ID ? 0 : lastTransferId_ + 1;
    } while (lastTransferId_ == 0 || transfers_.count(lastTransferId_) != 0);
    return lastTransferId_;
}

bool TransferTable::GetTransfer(int transferId, FileTransfer& transfer) const {
    node_.AssertLoopThread();
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return false;
    transfer = it->second;
    return true;
}

// The uploads registered for the channel count as if they were complete: two uploads
// that each fit could otherwise fill the channel past its quota together. A registration
// no connection begins leaves with its user.
bool TransferTable::CanAddUpload(const serverchannel_t& channel, int64_t filesize) const {
    int64_t total = filesize;
    for (transfers_t::const_iterator it = transfers_.begin(); it != transfers_.end(); ++it) {
        if (!it->second.upload || node_.Channels().FindChannel(it->second.channel) != channel) continue;
        if (__builtin_add_overflow(total, it->second.filesize, &total)) return false;
    }
    return channel->CanAddFile(total);
}

int TransferTable::UserRegFileTransfer(FileTransfer& transfer) {
    node_.AssertLoopThread();
    const FileStore& store = node_.Files();
    if (!store.IsSharing()) return ERR_FILESHARING_OFF;
    const serveruser_t user = node_.Users().GetUser(transfer.userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = node_.Channels().FindChannel(transfer.channel);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    int id = 0;
    if (transfer.upload) {
        if (!user->IsAdmin() && !CanAddUpload(channel, transfer.filesize)) return ERR_MAX_DISKUSAGE_EXCEEDED;
        if (channel->FileExists(transfer.filename)) return ERR_FILE_ALREADY_EXISTS;
        id = TakeTransferId();
        transfer.localPath = store.FilePath("tmp_" + std::to_string(id) + ".dat");
        // A leftover of an earlier run; the id stays free.
        if (Exists(transfer.localPath)) return ERR_FILE_ALREADY_EXISTS;
    } else {
        ChannelFile file;
        if (!channel->GetFile(transfer.filename, file)) return ERR_FILE_NOT_FOUND;
        transfer.localPath = store.FilePath(file.internalName);
        if (!Readable(transfer.localPath)) return ERR_FILE_NOT_FOUND;
        transfer.filesize = file.filesize;
        id = TakeTransferId();
    }
    if (!user->GetPeerAddress(transfer.host)) return ERR_USER_NOT_FOUND;
    transfer.transferId = id;
    transfer.dataUserId = 0;
    transfers_[id] = transfer;
    return ERR_SUCCESS;
}

int TransferTable::UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer,
                                         TransferFile& file) {
    node_.AssertLoopThread();
    if (!node_.Files().IsSharing()) return ERR_FILESHARING_OFF;
    const transfers_t::iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return ERR_FILETRANSFER_NOT_FOUND;
    const serveruser_t caller = node_.Users().GetUser(userId);
    ACE_INET_Addr from;
    // To any other host the transfer does not exist. Nor in the other direction: an
    // upload must never open, and on failure delete, a stored file.
    if (!caller || !caller->GetPeerAddress(from) || !from.is_ip_equal(it->second.host) || it->second.upload != upload)
        return ERR_FILETRANSFER_NOT_FOUND;
    transfer = it->second;
    const serverchannel_t channel = node_.Channels().FindChannel(transfer.channel);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    if (transfer.upload && (channel->FileExists(transfer.filename) || Exists(transfer.localPath)))
        return ERR_FILE_ALREADY_EXISTS;
    it->second.dataUserId = userId;
    const bool opened = transfer.upload ? file.OpenForUpload(transfer.localPath, transfer.filesize)
                                        : file.OpenForDownload(transfer.localPath, transfer.filesize);
    return opened ? ERR_SUCCESS : ERR_OPEN_FILE_FAILED;
}

int TransferTable::FileTransferCompleted(int transferId) {
    node_.AssertLoopThread();
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return ERR_FILETRANSFER_NOT_FOUND;
    const FileTransfer transfer = it->second;
    const serverchannel_t channel = node_.Channels().FindChannel(transfer.channel);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    // Another upload of the same name may have finished first.
    if (channel->FileExists(transfer.filename)) return ERR_FILE_ALREADY_EXISTS;
    ChannelFile file;
    const int moved = node_.Files().MoveIntoStore(transfer.localPath, file.internalName);
    if (moved != ERR_SUCCESS) return moved;
    file.filename = transfer.filename;
    file.filesize = transfer.filesize;
    node_.Files().AddFileToChannel(file, channel);
    transfers_.erase(transferId);
    const serveruser_t user = node_.Users().GetUser(transfer.userId);
    ServerNodeListener* const listener = node_.Listener();
    if (user && listener) listener->OnFileUploaded(user, channel, file);
    return ERR_SUCCESS;
}

void TransferTable::FileTransferDownloaded(int transferId) {
    node_.AssertLoopThread();
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return;
    const FileTransfer transfer = it->second;
    transfers_.erase(transferId);
    const serveruser_t user = node_.Users().GetUser(transfer.userId);
    const serverchannel_t channel = node_.Channels().FindChannel(transfer.channel);
    ServerNodeListener* const listener = node_.Listener();
    ChannelFile file;
    if (!user || !channel || !listener || !channel->GetFile(transfer.filename, file)) return;
    listener->OnFileDownloaded(user, channel, file);
}

// A transfer ends with the connection that began it, and a registration that no
// connection has begun with the user that made it: the table cannot outgrow the users,
// however often a connection names a new transfer.
void TransferTable::DropTransfers(ServerUser& user) {
    node_.AssertLoopThread();
    const int userId = user.GetUserID();
    for (transfers_t::iterator it = transfers_.begin(); it != transfers_.end();) {
        const FileTransfer& transfer = it->second;
        if (transfer.dataUserId == userId || (transfer.dataUserId == 0 && transfer.userId == userId))
            it = transfers_.erase(it);
        else
            ++it;
    }
    user.Transfer().Close();
}

void TransferTable::GetActiveTransfers(int& transfers, int& uploads, int& downloads) const {
    node_.AssertLoopThread();
    uploads = downloads = 0;
    const UserRegistry::users_t& users = node_.Users().All();
    for (UserRegistry::users_t::const_iterator it = users.begin(); it != users.end(); ++it) {
        const TransferSession& session = it->second->Transfer();
        if (!session.IsActive()) continue;
        const transfers_t::const_iterator transfer = transfers_.find(session.GetTransferID());
        if (transfer == transfers_.end()) continue;
        if (transfer->second.upload) ++uploads;
        else ++downloads;
    }
    transfers = uploads + downloads;
}

}  // namespace server
}  // namespace quorvane
