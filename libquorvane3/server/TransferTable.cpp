#include "server/TransferTable.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>

#include "network/ReactorThread.h"
#include "protocol/ErrorCodes.h"
#include "server/ChannelTree.h"
#include "server/FileStore.h"
#include "server/ServerNodeListener.h"
#include "server/ServerStatistics.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

namespace {

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A number from the kernel's random source; it does not fail for a few bytes once the
// pool is ready, which it is long before a client can register anything.
uint32_t RandomNumber() {
    uint32_t value = 0;
    while (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    }
    return value;
}

}  // namespace

void TransferTable::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

void TransferTable::SetTransferTimeout(int seconds) {
    AssertLoopThread();
    timeoutSeconds_ = seconds;
}

std::string TransferTable::ChannelKey(const std::string& path) {
    std::string key;
    for (const std::string& name : SplitChannelPath(path)) key += LowerChannelName(name) + "/";
    return key;
}

int TransferTable::TakeTransferId() {
    // The table holds far fewer ids than there are: a few draws at most.
    for (;;) {
        const int id = 1 + static_cast<int>(RandomNumber() % MAX_TRANSFER_ID);
        if (transfers_.count(id) == 0) return id;
    }
}

bool TransferTable::GetTransfer(int transferId, FileTransfer& transfer) const {
    AssertLoopThread();
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return false;
    transfer = it->second;
    return true;
}

// The uploads registered for the channel count as if they were complete: two uploads
// that each fit could otherwise fill the channel past its quota together.
bool TransferTable::CanAddUpload(const serverchannel_t& channel, int64_t filesize) const {
    int64_t total = filesize;
    const std::map<std::string, ChannelTransfers>::const_iterator pending =
        channels_.find(ChannelKey(channel->GetChannelPath()));
    if (pending != channels_.end() && __builtin_add_overflow(total, pending->second.uploadBytes, &total)) return false;
    return channel->CanAddFile(total);
}

bool TransferTable::HasRoomForUpload(const serverchannel_t& channel) const {
    const std::map<std::string, ChannelTransfers>::const_iterator pending =
        channels_.find(ChannelKey(channel->GetChannelPath()));
    return files_.HasRoomFor(*channel, pending != channels_.end() ? pending->second.uploads : 0, uploads_);
}

serverchannel_t TransferTable::ChannelOf(const FileTransfer& transfer) const {
    const serverchannel_t channel = transfer.channelRef.lock();
    return channel && tree_.FindChannel(transfer.channel) == channel ? channel : serverchannel_t();
}

void TransferTable::Insert(const FileTransfer& transfer, int64_t nowMs) {
    transfers_[transfer.transferId] = transfer;
    std::deque<int>& waiting = waiting_[transfer.userId];
    waiting.push_back(transfer.transferId);
    deadlines_.push_back(
        std::make_pair(nowMs + static_cast<int64_t>(REGISTRATION_SECONDS) * 1000, transfer.transferId));
    ChannelTransfers& channel = channels_[ChannelKey(transfer.channel)];
    channel.ids.insert(transfer.transferId);
    if (transfer.upload) {
        ++channel.uploads;
        ++uploads_;
        channel.uploadBytes += transfer.filesize;
    }
    // A user keeps only its newest registrations that no connection has begun.
    if (waiting.size() > MAX_WAITING) Erase(waiting.front());
}

void TransferTable::Unwait(const FileTransfer& transfer) {
    const std::map<int, std::deque<int>>::iterator waiting = waiting_.find(transfer.userId);
    if (waiting == waiting_.end()) return;
    for (std::deque<int>::iterator it = waiting->second.begin(); it != waiting->second.end(); ++it) {
        if (*it != transfer.transferId) continue;
        waiting->second.erase(it);
        break;
    }
    if (waiting->second.empty()) waiting_.erase(waiting);
}

void TransferTable::Erase(int transferId) {
    const transfers_t::iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return;
    const FileTransfer& transfer = it->second;
    if (transfer.dataUserId == 0) {
        Unwait(transfer);
    } else {
        const std::map<int, std::set<int>>::iterator carried = carried_.find(transfer.dataUserId);
        if (carried != carried_.end() && carried->second.erase(transferId) != 0 && carried->second.empty())
            carried_.erase(carried);
    }
    if (transfer.upload) --uploads_;
    const std::map<std::string, ChannelTransfers>::iterator channel = channels_.find(ChannelKey(transfer.channel));
    if (channel != channels_.end()) {
        channel->second.ids.erase(transferId);
        if (transfer.upload) {
            --channel->second.uploads;
            channel->second.uploadBytes -= transfer.filesize;
        }
        if (channel->second.ids.empty()) channels_.erase(channel);
    }
    transfers_.erase(it);
}

int TransferTable::UserRegFileTransfer(FileTransfer& transfer) {
    AssertLoopThread();
    const FileStore& store = files_;
    if (!store.IsSharing()) return ERR_FILESHARING_OFF;
    const serveruser_t user = users_.GetUser(transfer.userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = tree_.FindChannel(transfer.channel);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    int id = 0;
    if (transfer.upload) {
        if (!user->IsAdmin() && !CanAddUpload(channel, transfer.filesize)) return ERR_MAX_DISKUSAGE_EXCEEDED;
        if (!HasRoomForUpload(channel)) return ERR_MAX_DISKUSAGE_EXCEEDED;
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
    transfer.channelRef = channel;
    transfer.transferId = id;
    transfer.dataUserId = 0;
    Insert(transfer, NowMs());
    return ERR_SUCCESS;
}

int TransferTable::UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer,
                                         TransferFile& file) {
    AssertLoopThread();
    if (!files_.IsSharing()) return ERR_FILESHARING_OFF;
    const transfers_t::iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return ERR_FILETRANSFER_NOT_FOUND;
    const serveruser_t caller = users_.GetUser(userId);
    IpAddress from;
    // To any other host the transfer does not exist. Nor in the other direction: an
    // upload must never open, and on failure delete, a stored file.
    if (!caller || !caller->GetPeerAddress(from) || from != it->second.host || it->second.upload != upload)
        return ERR_FILETRANSFER_NOT_FOUND;
    transfer = it->second;
    const serverchannel_t channel = ChannelOf(transfer);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    if (transfer.upload && (channel->FileExists(transfer.filename) || Exists(transfer.localPath)))
        return ERR_FILE_ALREADY_EXISTS;
    // From here on the data connection carries it: it no longer waits, nor expires.
    if (it->second.dataUserId == 0) {
        Unwait(it->second);
    } else {
        const std::map<int, std::set<int>>::iterator carried = carried_.find(it->second.dataUserId);
        if (carried != carried_.end()) carried->second.erase(transferId);
    }
    it->second.dataUserId = userId;
    carried_[userId].insert(transferId);
    const bool opened = transfer.upload ? file.OpenForUpload(transfer.localPath, transfer.filesize)
                                        : file.OpenForDownload(transfer.localPath, transfer.filesize);
    return opened ? ERR_SUCCESS : ERR_OPEN_FILE_FAILED;
}

int TransferTable::FileTransferCompleted(int transferId) {
    AssertLoopThread();
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return ERR_FILETRANSFER_NOT_FOUND;
    const FileTransfer transfer = it->second;
    const serverchannel_t channel = ChannelOf(transfer);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    // Another upload of the same name may have finished first.
    if (channel->FileExists(transfer.filename)) return ERR_FILE_ALREADY_EXISTS;
    ChannelFile file;
    const int moved = files_.MoveIntoStore(transfer.localPath, file.internalName);
    if (moved != ERR_SUCCESS) return moved;
    file.filename = transfer.filename;
    file.filesize = transfer.filesize;
    files_.AddFileToChannel(file, channel);
    Erase(transferId);
    const serveruser_t user = users_.GetUser(transfer.userId);
    if (user) listener_.OnFileUploaded(user, channel, file);
    return ERR_SUCCESS;
}

void TransferTable::FileTransferDownloaded(int transferId) {
    AssertLoopThread();
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return;
    const FileTransfer transfer = it->second;
    Erase(transferId);
    const serveruser_t user = users_.GetUser(transfer.userId);
    const serverchannel_t channel = ChannelOf(transfer);
    ChannelFile file;
    if (!user || !channel || !channel->GetFile(transfer.filename, file)) return;
    listener_.OnFileDownloaded(user, channel, file);
}

// A transfer ends with the connection that began it, and a registration that no
// connection has begun with the user that made it: the table cannot outgrow the users.
void TransferTable::DropTransfers(ServerUser& user) {
    AssertLoopThread();
    const int userId = user.GetUserID();
    const std::map<int, std::deque<int>>::iterator waiting = waiting_.find(userId);
    if (waiting != waiting_.end()) {
        const std::deque<int> ids = waiting->second;
        for (const int id : ids) Erase(id);
    }
    const std::map<int, std::set<int>>::iterator carried = carried_.find(userId);
    if (carried != carried_.end()) {
        const std::set<int> ids = carried->second;
        for (const int id : ids) Erase(id);
    }
    user.Transfer().Close();
}

void TransferTable::ChannelRemoved(const serverchannel_t& channel) {
    AssertLoopThread();
    const std::map<std::string, ChannelTransfers>::const_iterator entry =
        channels_.find(ChannelKey(channel->GetChannelPath()));
    if (entry == channels_.end()) return;
    const std::set<int> ids = entry->second.ids;
    std::vector<serveruser_t> uploaders;
    for (const int id : ids) {
        const transfers_t::const_iterator it = transfers_.find(id);
        // A transfer of an earlier channel of that path, or a download under way, stays.
        if (it == transfers_.end() || it->second.channelRef.lock() != channel) continue;
        if (!it->second.upload && it->second.dataUserId != 0) continue;
        const serveruser_t carrier = it->second.dataUserId != 0 ? users_.GetUser(it->second.dataUserId) : nullptr;
        if (carrier && carrier->Transfer().GetTransferID() == id) uploaders.push_back(carrier);
        Erase(id);
    }
    // After the table is consistent: a close may run at once and come back here.
    for (const serveruser_t& uploader : uploaders) {
        uploader->Transfer().Close();  // deletes the unfinished file
        uploader->DisconnectWithError(ERR_CHANNEL_NOT_FOUND);
    }
}

void TransferTable::GetActiveTransfers(int& transfers, int& uploads, int& downloads) const {
    AssertLoopThread();
    uploads = downloads = 0;
    for (std::map<int, std::set<int>>::const_iterator it = carried_.begin(); it != carried_.end(); ++it) {
        const serveruser_t user = users_.GetUser(it->first);
        if (!user || !user->Transfer().IsActive()) continue;
        const transfers_t::const_iterator transfer = transfers_.find(user->Transfer().GetTransferID());
        if (transfer == transfers_.end()) continue;
        if (transfer->second.upload) ++uploads;
        else ++downloads;
    }
    transfers = uploads + downloads;
}

void TransferTable::CheckTimeouts(int64_t nowMs) {
    AssertLoopThread();
    while (!deadlines_.empty() && deadlines_.front().first <= nowMs) {
        const int id = deadlines_.front().second;
        deadlines_.pop_front();
        const transfers_t::const_iterator it = transfers_.find(id);
        if (it != transfers_.end() && it->second.dataUserId == 0) Erase(id);
    }
    if (timeoutSeconds_ <= 0) return;
    const int64_t idleLimit = static_cast<int64_t>(timeoutSeconds_) * 1000;
    std::vector<serveruser_t> idle;
    for (std::map<int, std::set<int>>::const_iterator it = carried_.begin(); it != carried_.end(); ++it) {
        const serveruser_t user = users_.GetUser(it->first);
        if (user && user->Transfer().IsOpen() && nowMs - user->Transfer().GetLastActivityMs() >= idleLimit)
            idle.push_back(user);
    }
    // The close takes the transfer and an unfinished upload's file with it.
    for (const serveruser_t& user : idle) {
        statistics_.Add(ServerStatistics::CLOSED_TRANSFER_TIMEOUT);
        user->Disconnect();
    }
}

}  // namespace server
}  // namespace quorvane
