#include "server/FileStore.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include <ace/OS_NS_sys_time.h>

#include "network/ReactorThread.h"
#include "protocol/ErrorCodes.h"
#include "server/Broadcaster.h"
#include "server/ChannelTree.h"
#include "server/LineWriter.h"
#include "server/ServerNodeListener.h"
#include "server/ServerStatistics.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

namespace {

// Names tried after the first one is taken before completion gives up.
const int STORE_NAME_ATTEMPTS = 1000;

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

}  // namespace

void FileStore::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

bool FileStore::SetFilesRoot(const std::string& path) {
    AssertLoopThread();
    if (started_.load(std::memory_order_acquire)) return false;
    const std::string root = NormalizeRoot(path);
    if (!IsDirectory(root)) return false;
    filesRoot_ = root;
    return true;
}

void FileStore::SetFileLimits(int perChannel, int total) {
    AssertLoopThread();
    maxPerChannel_ = perChannel;
    maxTotal_ = total;
}

bool FileStore::HasRoomFor(const ServerChannel& channel, int pendingInChannel, int pendingInAll) const {
    const int64_t inChannel = static_cast<int64_t>(channel.GetFiles().size()) + pendingInChannel;
    const int64_t inAll = statistics_.Get(ServerStatistics::FILES) + pendingInAll;
    return (maxPerChannel_ <= 0 || inChannel < maxPerChannel_) && (maxTotal_ <= 0 || inAll < maxTotal_);
}

int FileStore::MoveIntoStore(const std::string& localPath, std::string& internalName) {
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

void FileStore::AddFileToChannel(const ChannelFile& file, const serverchannel_t& channel) {
    AssertLoopThread();
    if (!channel) return;
    channel->AddFile(file);
    statistics_.Change(ServerStatistics::FILES_BYTES, file.filesize);
    statistics_.Change(ServerStatistics::FILES, 1);
    broadcast_.ToChannelAndAdmins(channel, LineWriter::AddFile(file, *channel));
    listener_.OnFileAdded(channel, file);
}

void FileStore::RemoveFileFromChannel(const std::string& filename, const serverchannel_t& channel) {
    AssertLoopThread();
    ChannelFile file;
    if (DetachFile(filename, channel, file) && IsSharing()) ::unlink(FilePath(file.internalName).c_str());
}

void FileStore::RemoveChannelFiles(const serverchannel_t& channel) {
    const ServerChannel::files_t files = channel->GetFiles();
    for (size_t i = 0; i < files.size(); ++i) RemoveFileFromChannel(files[i].filename, channel);
}

bool FileStore::DetachFile(const std::string& filename, const serverchannel_t& channel, ChannelFile& file) {
    if (!channel || !channel->GetFile(filename, file)) return false;
    channel->RemoveFile(filename);
    statistics_.Change(ServerStatistics::FILES_BYTES, -file.filesize);
    statistics_.Change(ServerStatistics::FILES, -1);
    listener_.OnFileRemoved(channel, file);
    broadcast_.ToChannelAndAdmins(channel, LineWriter::RemoveFile(filename, *channel));
    return true;
}

int FileStore::UserDeleteFile(int userId, const std::string& path, const std::string& filename) {
    AssertLoopThread();
    const serverchannel_t channel = tree_.FindChannel(path);
    if (!channel) return ERR_CHANNEL_NOT_FOUND;
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    ChannelFile file;
    if (!channel->GetFile(filename, file)) return ERR_FILE_NOT_FOUND;
    // The uploader has no right of its own over the file.
    if (!user->IsAdmin() && !channel->IsOperator(userId)) return ERR_NOT_AUTHORIZED;
    DetachFile(filename, channel, file);
    listener_.OnFileDeleted(user, channel, file);
    // The entry is gone either way; say so when the data could not be removed.
    if (::unlink(FilePath(file.internalName).c_str()) != 0 && errno != ENOENT) return ERR_OPEN_FILE_FAILED;
    return ERR_SUCCESS;
}

}  // namespace server
}  // namespace quorvane
