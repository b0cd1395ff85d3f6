// The open file of a transfer on one connection, with its own 64-bit position: the
// temporary file an upload is written to, or the data file a download is read from.
// Reads and writes go to explicit positions, so files of 2 GiB and more work alike.
//
// Threads: owned by one TransferSession and used only on the main loop's thread.
#ifndef QUORVANE_SERVER_TRANSFERFILE_H
#define QUORVANE_SERVER_TRANSFERFILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane {
namespace server {

class TransferFile {
public:
    enum WriteResult {
        WRITE_MORE,      // written; the file is still short of its size
        WRITE_COMPLETE,  // written; the file has reached its size
        WRITE_PAST_END,  // the bytes would run past the size: nothing written
        WRITE_FAILED,    // the file system refused the bytes (disk full, I/O error, limit)
    };

    TransferFile();
    ~TransferFile();
    TransferFile(const TransferFile&) = delete;
    TransferFile& operator=(const TransferFile&) = delete;

    // Creates the file, which must not exist yet, to receive size bytes.
    bool OpenForUpload(const std::string& path, int64_t size);
    // Opens an existing file to send its first size bytes.
    bool OpenForDownload(const std::string& path, int64_t size);
    // Closes the file; with removeFile the file is deleted as well.
    void Close(bool removeFile = false);

    bool IsOpen() const { return fd_ >= 0; }
    // The descriptor, for the system calls that move data without copying it through the
    // program (the caller moves the position by what they moved); -1 when closed.
    int Fd() const { return fd_; }
    const std::string& GetPath() const { return path_; }
    int64_t GetSize() const { return size_; }
    int64_t GetPosition() const { return position_; }
    void SetPosition(int64_t position) { position_ = position; }
    bool AtEnd() const { return position_ >= size_; }

    // Writes all the bytes at the position and advances it.
    WriteResult Write(const char* data, size_t length);
    // Reads up to length bytes (no further than the size) at the position without
    // moving it: the caller advances once the bytes are sent. 0 at the end, -1 on error.
    ssize_t Read(char* buffer, size_t length);
    void Advance(size_t count) { position_ += static_cast<int64_t>(count); }

private:
    bool Open(const std::string& path, int flags, int64_t size);

    int fd_;
    std::string path_;
    int64_t size_;
    int64_t position_;
};

}  // namespace server
}  // namespace quorvane

#endif
