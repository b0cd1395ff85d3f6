#include "server/TransferSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "network/StreamHandler.h"
#include "protocol/ErrorCodes.h"
#include "server/LineWriter.h"
#include "server/ServerStatistics.h"
#include "server/ServerUser.h"
#include "server/TransferDesk.h"

namespace quorvane {
namespace server {

static_assert(static_cast<int>(TransferSession::CHUNK) <= static_cast<int>(StreamHandler::WRITE_BYTES),
              "a chunk is one bounded system call");

int TransferSession::Begin(int transferId, bool upload, bool& keepOpen) {
    user_.AssertLoopThread();
    Close();
    FileTransfer transfer;
    const int result = desk_.UserBeginFileTransfer(user_.GetUserID(), transferId, upload, transfer, file_);
    if (result != ERR_SUCCESS) return result;
    transferId_ = transfer.transferId;
    upload_ = upload;
    Touch();
    if (!upload) {
        user_.SendLine(LineWriter::FileReady(transferId_, transfer.filesize));
        return ERR_SUCCESS;
    }
    SetActive(true);
    spliceable_ = OpenPipe();
    user_.SendLine(LineWriter::FileDeliver(transfer.filesize, transfer.filename));
    // An empty file has no bytes to wait for.
    if (transfer.filesize == 0) FinishUpload(keepOpen);
    return ERR_SUCCESS;
}

void TransferSession::StartDownload() {
    user_.AssertLoopThread();
    // Only a prepared download: the flag also spares its user the inactivity drop.
    if (!file_.IsOpen() || upload_) return;
    SetActive(true);
    // Not from the command: the file follows on the connection's output turn.
    if (StreamHandler* const handler = user_.FindStreamHandler()) handler->ContinueLater();
}

void TransferSession::SetActive(bool active) {
    if (active == active_) return;
    active_ = active;
    if (user_.IsAttached())
        statistics_.Change(upload_ ? ServerStatistics::UPLOADS : ServerStatistics::DOWNLOADS, active ? 1 : -1);
}

void TransferSession::Count(size_t bytes) {
    if (user_.IsAttached())
        statistics_.Add(upload_ ? ServerStatistics::UPLOADED_BYTES : ServerStatistics::DOWNLOADED_BYTES, bytes);
}

void TransferSession::Touch() {
    lastActivityMs_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

void TransferSession::Receive(const char* data, size_t length, bool& keepOpen) {
    user_.AssertLoopThread();
    Touch();
    switch (file_.Write(data, length)) {
    case TransferFile::WRITE_MORE: Count(length); return;
    case TransferFile::WRITE_COMPLETE:
        Count(length);
        FinishUpload(keepOpen);
        return;
    case TransferFile::WRITE_PAST_END:
    case TransferFile::WRITE_FAILED:
        Abort();
        keepOpen = false;
        return;
    }
}

// One byte more than the file still needs is asked for: a client that sends more than it
// announced is then caught as a read carrying past the size would be.
StreamListener::Input TransferSession::ReceiveFrom(int socket) {
    user_.AssertLoopThread();
    size_t moved = 0;
    while (moved < TURN_BYTES && TakesSocket()) {
        const uint64_t left = static_cast<uint64_t>(file_.GetSize() - file_.GetPosition());
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(CHUNK, left + 1));
        const ssize_t count = ::splice(socket, nullptr, pipe_[1], nullptr, wanted, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (count == 0) return StreamListener::INPUT_ENDED;
        if (count < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (moved == 0 && (errno == EINVAL || errno == ENOSYS)) {
                spliceable_ = false;  // the socket cannot be spliced: plain reads from now on
                return StreamListener::INPUT_READ;
            }
            return StreamListener::INPUT_FAILED;
        }
        if (static_cast<uint64_t>(count) > left || !DrainPipe(static_cast<size_t>(count))) {
            Abort();
            return StreamListener::INPUT_FAILED;
        }
        moved += static_cast<size_t>(count);
        Count(static_cast<size_t>(count));
        Touch();
        if (file_.AtEnd()) {
            bool keepOpen = true;
            FinishUpload(keepOpen);
            return keepOpen ? StreamListener::INPUT_MOVED : StreamListener::INPUT_FAILED;
        }
    }
    return moved > 0 ? StreamListener::INPUT_MOVED : StreamListener::INPUT_NONE;
}

// Spliced into the file where the system can (no copy through the program); where the
// file system takes no splice, read out of the pipe and written, and later data of this
// upload is read from the socket as usual.
bool TransferSession::DrainPipe(size_t count) {
    while (count > 0) {
        loff_t position = static_cast<loff_t>(file_.GetPosition());
        const ssize_t written =
            spliceable_ ? ::splice(pipe_[0], nullptr, file_.Fd(), &position, count, SPLICE_F_MOVE) : -1;
        if (written > 0) {
            file_.Advance(static_cast<size_t>(written));
            count -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written == 0 || (spliceable_ && errno != EINVAL)) return false;  // disk full, size limit, I/O
        spliceable_ = false;
        char buffer[CHUNK];
        const ssize_t taken = ::read(pipe_[0], buffer, std::min<size_t>(count, sizeof buffer));
        if (taken <= 0) return false;
        const TransferFile::WriteResult result = file_.Write(buffer, static_cast<size_t>(taken));
        if (result != TransferFile::WRITE_MORE && result != TransferFile::WRITE_COMPLETE) return false;
        count -= static_cast<size_t>(taken);
    }
    return true;
}

void TransferSession::FinishUpload(bool& keepOpen) {
    const std::string path = file_.GetPath();
    file_.Close();
    ClosePipe();
    if (user_.IsAttached() && desk_.FileTransferCompleted(transferId_) == ERR_SUCCESS) {
        user_.SendLine(LineWriter::Word("filecompleted"));
        Close();
        return;
    }
    ::unlink(path.c_str());
    Abort();
    keepOpen = false;
}

// Writes while the socket takes the file and the pass lasts; a full socket calls
// OnOutputDrained again once it has room, a spent pass once the others had theirs. The
// file goes from the page cache to the socket: memory stays bounded whatever its size.
void TransferSession::Pump() {
    user_.AssertLoopThread();
    if (!active_ || upload_ || !file_.IsOpen()) return;
    StreamHandler* const handler = user_.FindStreamHandler();
    if (!handler) return;
    const std::chrono::steady_clock::time_point passEnds =
        std::chrono::steady_clock::now() + std::chrono::microseconds(PASS_MICROSECONDS);
    size_t slice = CHUNK;
    for (size_t sent = 0; !file_.AtEnd();) {
        if (sent >= PASS_BYTES || (sent > 0 && std::chrono::steady_clock::now() >= passEnds)) {
            handler->ContinueLater();
            return;
        }
        int64_t position = file_.GetPosition();
        const uint64_t left = static_cast<uint64_t>(file_.GetSize() - position);
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(slice, left));
        const ssize_t count = handler->SendFile(file_.Fd(), position, wanted);
        if (count == StreamHandler::FILE_WAIT || count == StreamHandler::FILE_FAILED) return;
        if (count == 0) {
            // The data file is shorter than its entry or unreadable: the client would
            // wait for the rest forever.
            Abort();
            user_.Disconnect();
            return;
        }
        file_.SetPosition(position);
        // The socket took the whole slice: the next may be larger.
        if (static_cast<size_t>(count) == wanted && slice < StreamHandler::FILE_SLICE_BYTES) slice *= 2;
        sent += static_cast<size_t>(count);
        Count(static_cast<size_t>(count));
        Touch();
    }
    const int transferId = transferId_;
    Close();
    if (user_.IsAttached()) desk_.FileTransferDownloaded(transferId);
}

bool TransferSession::OpenPipe() {
    ClosePipe();
    return ::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == 0 || (pipe_[0] = pipe_[1] = -1, false);
}

void TransferSession::ClosePipe() {
    for (int& end : pipe_) {
        if (end >= 0) ::close(end);
        end = -1;
    }
}

void TransferSession::Abort() {
    if (file_.IsOpen()) file_.Close(upload_);
    ClosePipe();
    SetActive(false);
}

void TransferSession::Close() {
    user_.AssertLoopThread();
    // An upload's file is open only while it is unfinished.
    if (file_.IsOpen()) file_.Close(upload_);
    ClosePipe();
    SetActive(false);
    upload_ = false;
    spliceable_ = true;
    transferId_ = 0;
}

}  // namespace server
}  // namespace quorvane
