#include "server/TransferFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quorvane {
namespace server {

TransferFile::TransferFile() : fd_(-1), size_(0), position_(0) {}

TransferFile::~TransferFile() { Close(); }

bool TransferFile::OpenForUpload(const std::string& path, int64_t size) {
    // Exclusive: two connections naming one transfer must not write into one file.
    return Open(path, O_RDWR | O_CREAT | O_EXCL, size);
}

bool TransferFile::OpenForDownload(const std::string& path, int64_t size) { return Open(path, O_RDONLY, size); }

bool TransferFile::Open(const std::string& path, int flags, int64_t size) {
    Close();
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    path_ = path;
    size_ = size;
    position_ = 0;
    return true;
}

void TransferFile::Close(bool removeFile) {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    if (removeFile) ::unlink(path_.c_str());
}

TransferFile::WriteResult TransferFile::Write(const char* data, size_t length) {
    if (fd_ < 0) return WRITE_FAILED;
    if (static_cast<uint64_t>(length) > static_cast<uint64_t>(size_ - position_)) return WRITE_PAST_END;
    while (length > 0) {
        const ssize_t written = ::pwrite(fd_, data, length, static_cast<off_t>(position_));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return WRITE_FAILED;
        position_ += written;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return AtEnd() ? WRITE_COMPLETE : WRITE_MORE;
}

ssize_t TransferFile::Read(char* buffer, size_t length) {
    if (fd_ < 0) return -1;
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), size_ - position_));
    if (wanted == 0) return 0;
    for (;;) {
        const ssize_t count = ::pread(fd_, buffer, wanted, static_cast<off_t>(position_));
        if (count >= 0 || errno != EINTR) return count;
    }
}

}  // namespace server
}  // namespace quorvane
