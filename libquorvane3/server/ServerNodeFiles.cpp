// ServerNode: file sharing — the files root, the transfer table and its ids,
// registration, the start of a data phase, completion, deletion, and the file entries
// of channels.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_time.h>

#include "protocol/ErrorCodes.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

namespace {

const int MAX_TRANSFER_ID = 2147483646;
// Names tried after the first one is taken before completion gives up.
const int STORE_NAME_ATTEMPTS = 1000;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// Runs of "/" become one and one trailing "/" goes, but "/" itself stays.
std::string NormalizeRoot(const std::string& path) {
    std::string result;
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i] != '/' || result.empty() || result.back() != '/') result += path[i];
    if (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

bool IsDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Moves the file to its new name unless that name is taken (EEXIST then).
bool MoveExclusively(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without an exclusive rename: a hard link is exclusive too.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

// A file line goes to the channel's users and to every logged-in administrator.
template <class SEND>
void SendToChannelAndAdmins(ServerNode& node, const serverchannel_t& channel, SEND send) {
    const std::vector<serveruser_t> members = channel->GetUsers();
    for (size_t i = 0; i < members.size(); ++i) send(*members[i]);
    const std::vector<serveruser_t> admins = node.GetLoggedInAdmins();
    for (size_t i = 0; i < admins.size(); ++i) send(*admins[i]);
}

}  // namespace

bool ServerNode::SetFilesRoot(const std::string& path) {
    if (IsStarted()) return false;
    const std::string root = NormalizeRoot(path);
    if (!IsDirectory(root)) return false;
    filesRoot_ = root;
    return true;
}

int ServerNode::TakeTransferId() {
    NodeGuard guard(lock_);
    do {
        lastTransferId_ = lastTransferId_ >= MAX_TRANSFER_ID ? 0 : lastTransferId_ + 1;
    } while (lastTransferId_ == 0 || transfers_.count(lastTransferId_) != 0);
    return lastTransferId_;
}

bool ServerNode::GetTransfer(int transferId, FileTransfer& transfer) {
    NodeGuard guard(lock_);
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return false;
    transfer = it->second;
    return true;
}

// The uploads registered for the channel count as if they were complete: two uploads
// that each fit could otherwise fill the channel past its quota together. A registration
// no connection begins leaves with its user.
bool ServerNode::CanAddUpload(const serverchannel_t& channel, int64_t filesize) {
    int64_t total = filesize;
    for (transfers_t::const_iterator it = transfers_.begin(); it != transfers_.end(); ++it) {
        if (!it->second.upload || FindChannel(it->second.channel) != channel) continue;
        if (__builtin_add_overflow(total, it->second.filesize, &total)) return false;
    }
    return channel->CanAddFile(total);
}

int ServerNode::UserRegFileTransfer(FileTransfer& transfer) {
    NodeGuard guard(lock_);
    if (filesRoot_.empty()) return ERR_FILESHARING_OFF;
    const serveruser_t user = GetUser(transfer.userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = FindChannel(transfer.channel);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    int id = 0;
    if (transfer.upload) {
        if (!user->IsAdmin() && !CanAddUpload(channel, transfer.filesize)) return ERR_MAX_DISKUSAGE_EXCEEDED;
        if (channel->FileExists(transfer.filename)) return ERR_FILE_ALREADY_EXISTS;
        id = TakeTransferId();
        transfer.localPath = FilePath("tmp_" + std::to_string(id) + ".dat");
        // A leftover of an earlier run; the id stays free.
        if (Exists(transfer.localPath)) return ERR_FILE_ALREADY_EXISTS;
    } else {
        ChannelFile file;
        if (!channel->GetFile(transfer.filename, file)) return ERR_FILE_NOT_FOUND;
        transfer.localPath = FilePath(file.internalName);
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

int ServerNode::UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer,
                                      TransferFile& file) {
    {
        NodeGuard guard(lock_);
        if (filesRoot_.empty()) return ERR_FILESHARING_OFF;
        const transfers_t::iterator it = transfers_.find(transferId);
        if (it == transfers_.end()) return ERR_FILETRANSFER_NOT_FOUND;
        const serveruser_t caller = GetUser(userId);
        ACE_INET_Addr from;
        // To any other host the transfer does not exist. Nor in the other direction: an
        // upload must never open, and on failure delete, a stored file.
        if (!caller || !caller->GetPeerAddress(from) || !from.is_ip_equal(it->second.host) ||
            it->second.upload != upload)
            return ERR_FILETRANSFER_NOT_FOUND;
        transfer = it->second;
        const serverchannel_t channel = FindChannel(transfer.channel);
        if (!channel) return ERR_CHANNEL_NOT_FOUND;
        if (transfer.upload && (channel->FileExists(transfer.filename) || Exists(transfer.localPath)))
            return ERR_FILE_ALREADY_EXISTS;
        it->second.dataUserId = userId;
    }
    const bool opened = transfer.upload ? file.OpenForUpload(transfer.localPath, transfer.filesize)
                                        : file.OpenForDownload(transfer.localPath, transfer.filesize);
    return opened ? ERR_SUCCESS : ERR_OPEN_FILE_FAILED;
}

// The stored name is made from the time in milliseconds; a name already taken (two
// uploads in one millisecond, a leftover file) moves on to the next number instead of
// replacing that file.
int ServerNode::MoveIntoStore(const std::string& localPath, std::string& internalName) {
    const ACE_Time_Value now = ACE_OS::gettimeofday();
    uint32_t number = static_cast<uint32_t>(static_cast<uint64_t>(now.sec()) * 1000 + now.usec() / 1000);
    for (int attempt = 0; attempt < STORE_NAME_ATTEMPTS; ++attempt, ++number) {
        const std::string name = "data_" + std::to_string(static_cast<int32_t>(number)) + ".dat";
        if (MoveExclusively(localPath, FilePath(name))) {
            internalName = name;
            return ERR_SUCCESS;
        }
        if (errno != EEXIST) break;
    }
    return ERR_OPEN_FILE_FAILED;
}

// The move runs without the node's lock: a rename can wait long for a busy disk, and
// nothing that waits for the lock should wait with it. Only this thread changes files
// and transfers, so what was checked before the move still holds after it.
int ServerNode::FileTransferCompleted(int transferId) {
    FileTransfer transfer;
    {
        NodeGuard guard(lock_);
        const transfers_t::const_iterator it = transfers_.find(transferId);
        if (it == transfers_.end()) return ERR_FILETRANSFER_NOT_FOUND;
        transfer = it->second;
        const serverchannel_t channel = FindChannel(transfer.channel);
        if (!channel) return ERR_CHANNEL_NOT_FOUND;
        // Another upload of the same name may have finished first.
        if (channel->FileExists(transfer.filename)) return ERR_FILE_ALREADY_EXISTS;
    }
    ChannelFile file;
    const int moved = MoveIntoStore(transfer.localPath, file.internalName);
    if (moved != ERR_SUCCESS) return moved;
    file.filename = transfer.filename;
    file.filesize = transfer.filesize;
    NodeGuard guard(lock_);
    const serverchannel_t channel = FindChannel(transfer.channel);
    if (!channel) {
        ::unlink(FilePath(file.internalName).c_str());
        return ERR_CHANNEL_NOT_FOUND;
    }
    AddFileToChannel(file, channel);
    transfers_.erase(transferId);
    const serveruser_t user = GetUser(transfer.userId);
    if (user && listener_) listener_->OnFileUploaded(user, channel, file);
    return ERR_SUCCESS;
}

void ServerNode::FileTransferDownloaded(int transferId) {
    NodeGuard guard(lock_);
    const transfers_t::const_iterator it = transfers_.find(transferId);
    if (it == transfers_.end()) return;
    const FileTransfer transfer = it->second;
    transfers_.erase(transferId);
    const serveruser_t user = GetUser(transfer.userId);
    const serverchannel_t channel = FindChannel(transfer.channel);
    ChannelFile file;
    if (!user || !channel || !listener_ || !channel->GetFile(transfer.filename, file)) return;
    listener_->OnFileDownloaded(user, channel, file);
}

int ServerNode::UserDeleteFile(int userId, const std::string& path, const std::string& filename) {
    ChannelFile file;
    {
        NodeGuard guard(lock_);
        const serverchannel_t channel = FindChannel(path);
        if (!channel) return ERR_CHANNEL_NOT_FOUND;
        const serveruser_t user = GetUser(userId);
        if (!user) return ERR_USER_NOT_FOUND;
        if (!channel->GetFile(filename, file)) return ERR_FILE_NOT_FOUND;
        // The uploader has no right of its own over the file.
        if (!user->IsAdmin() && !channel->IsOperator(userId)) return ERR_NOT_AUTHORIZED;
        DetachFile(filename, channel, file);
        if (listener_) listener_->OnFileDeleted(user, channel, file);
    }
    // Freeing a large file can take the disk a while: not under the node's lock. The
    // entry is gone either way; say so when the data could not be removed.
    if (::unlink(FilePath(file.internalName).c_str()) != 0 && errno != ENOENT) return ERR_OPEN_FILE_FAILED;
    return ERR_SUCCESS;
}

void ServerNode::AddFileToChannel(const ChannelFile& file, const serverchannel_t& channel) {
    NodeGuard guard(lock_);
    if (!channel) return;
    channel->AddFile(file);
    SendToChannelAndAdmins(*this, channel, [&](ServerUser& user) { user.SendAddFile(file, channel); });
    if (listener_) listener_->OnFileAdded(channel, file);
}

void ServerNode::RemoveFileFromChannel(const std::string& filename, const serverchannel_t& channel) {
    NodeGuard guard(lock_);
    ChannelFile file;
    if (DetachFile(filename, channel, file) && !filesRoot_.empty()) ::unlink(FilePath(file.internalName).c_str());
}

bool ServerNode::DetachFile(const std::string& filename, const serverchannel_t& channel, ChannelFile& file) {
    NodeGuard guard(lock_);
    if (!channel || !channel->GetFile(filename, file)) return false;
    channel->RemoveFile(filename);
    if (listener_) listener_->OnFileRemoved(channel, file);
    SendToChannelAndAdmins(*this, channel, [&](ServerUser& user) { user.SendRemoveFile(filename, channel); });
    return true;
}

// A transfer ends with the connection that began it, and a registration that no
// connection has begun with the user that made it: the table cannot outgrow the users,
// however often a connection names a new transfer.
void ServerNode::DropTransfer(const serveruser_t& user) {
    NodeGuard guard(lock_);
    const int userId = user->GetUserID();
    for (transfers_t::iterator it = transfers_.begin(); it != transfers_.end();) {
        const FileTransfer& transfer = it->second;
        if (transfer.dataUserId == userId || (transfer.dataUserId == 0 && transfer.userId == userId))
            it = transfers_.erase(it);
        else
            ++it;
    }
    user->CloseTransfer();
}

}  // namespace server
}  // namespace quorvane
