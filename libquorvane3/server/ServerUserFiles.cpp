// ServerUser: the file commands and the data phase of a connection — the upload
// writer, the download pump and the end of a transfer.
//
// Threads: all of it runs on the main reactor's thread. The transfer fields and the
// open file belong to that thread alone, so file I/O runs without the node's lock:
// nothing that waits for the lock should wait for the disk. Node operations take it
// themselves.
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include <ace/Guard_T.h>
#include <ace/Message_Block.h>
#include <ace/OS_NS_sys_socket.h>

#include "network/StreamHandler.h"
#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/ServerChannel.h"
#include "server/ServerNode.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

static_assert(ServerUser::MAX_DOWNLOAD_CHUNKS == StreamHandler::HIGH_WATER_MARK / ServerUser::TRANSFER_CHUNK + 2,
              "a download's blocks cover one full output queue");

bool ServerUser::RequireInt64(const std::string& line, const char* name, int error, int64_t& out) {
    if (GetInt64Param(line, name, out)) return true;
    SendError(error);
    return false;
}

void ServerUser::HandleRegSendFile(const std::string& line, bool&) { RegisterTransfer(line, true); }

void ServerUser::HandleRegRecvFile(const std::string& line, bool&) { RegisterTransfer(line, false); }

void ServerUser::RegisterTransfer(const std::string& line, bool upload) {
    FileTransfer transfer;
    transfer.userId = GetUserID();
    transfer.upload = upload;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, transfer.channel)) return;
    if (!RequireString(line, "filename", ERR_MISSING_FILENAME, transfer.filename)) return;
    if (upload) {
        if (!RequireInt64(line, "filesize", ERR_MISSING_FILESIZE, transfer.filesize)) return;
        if (transfer.filesize < 0) {
            SendError(ERR_MISSING_FILESIZE);
            return;
        }
    }
    const int result = owner_->UserRegFileTransfer(transfer);
    if (result == ERR_SUCCESS)
        SendFileAccepted(transfer.transferId);
    else
        SendFileRejected(result);
}

void ServerUser::HandleSendFile(const std::string& line, bool& keepOpen) { BeginTransfer(line, true, keepOpen); }

void ServerUser::HandleRecvFile(const std::string& line, bool& keepOpen) { BeginTransfer(line, false, keepOpen); }

void ServerUser::BeginTransfer(const std::string& line, bool upload, bool& keepOpen) {
    int transferId = 0;
    if (!RequireInt(line, "transferid", ERR_MISSING_TRANSFERID, transferId)) return;
    CloseTransfer();
    FileTransfer transfer;
    if (!Succeeded(owner_->UserBeginFileTransfer(GetUserID(), transferId, upload, transfer, transferFile_))) return;
    transferId_ = transfer.transferId;
    transferSize_ = transfer.filesize;
    transferIsUpload_ = upload;
    if (!upload) {
        SendFileReady(transferId_, transferSize_);
        return;
    }
    fileTransferActive_ = true;
    SendFileDeliver(transfer.filesize, transfer.filename);
    // An empty file has no bytes to wait for.
    if (transfer.filesize == 0) FinishUpload(keepOpen);
}

void ServerUser::HandleFileDeliver(const std::string&, bool&) {
    // Only a prepared download: the flag also spares its user the inactivity drop.
    if (!transferFile_.IsOpen() || transferIsUpload_) return;
    fileTransferActive_ = true;
    // Commands run under the node's lock: queue one chunk here, and the rest follows
    // from OnStreamReady without the lock.
    PumpDownload(1);
}

void ServerUser::HandleFileShare(const std::string& line, bool&) {
    int64_t quota = 0;
    if (!RequireInt64(line, "diskquota", ERR_MISSING_DISKQUOTA, quota)) return;
    owner_->SetChannelDiskQuota(quota);
    SendFileShareInfo(owner_->GetFilesRoot(), owner_->GetChannelDiskQuota());
}

void ServerUser::HandleDeleteFile(const std::string& line, bool&) {
    std::string filename, channel;
    if (!RequireString(line, "filename", ERR_MISSING_FILENAME, filename)) return;
    if (!RequireString(line, "channel", ERR_MISSING_CHANNEL, channel)) return;
    Succeeded(owner_->UserDeleteFile(GetUserID(), channel, filename));
}

// Bytes past the announced size or a write the file system refuses end the transfer:
// the connection closes and the unfinished file goes.
void ServerUser::ReceiveFileData(const char* data, size_t length, bool& keepOpen) {
    switch (transferFile_.Write(data, length)) {
    case TransferFile::WRITE_MORE:
        return;
    case TransferFile::WRITE_COMPLETE:
        FinishUpload(keepOpen);
        return;
    case TransferFile::WRITE_PAST_END:
    case TransferFile::WRITE_FAILED:
        AbortTransfer();
        keepOpen = false;
        return;
    }
}

void ServerUser::FinishUpload(bool& keepOpen) {
    const std::string path = transferFile_.GetPath();
    transferFile_.Close();
    const int result = owner_->FileTransferCompleted(transferId_);
    NodeGuard guard(owner_->GetLock());
    if (result == ERR_SUCCESS) {
        SendFileCompleted();
        CloseTransfer();
        return;
    }
    ::unlink(path.c_str());
    AbortTransfer();
    keepOpen = false;
}

// Fills the connection's output queue up to its high water mark, one chunk at a time,
// and stops there: OnStreamReady runs it again once the queue has drained. A download
// of any size thus holds about one queue of it in memory.
void ServerUser::PumpDownload(int maxChunks) {
    if (!fileTransferActive_ || transferIsUpload_ || !transferFile_.IsOpen()) return;
    StreamHandler* handler = connection_ != 0 ? FindStreamHandler() : 0;
    if (!handler) return;
    for (int chunks = 0; !transferFile_.AtEnd(); ++chunks) {
        if (maxChunks > 0 && chunks == maxChunks) return;
        // Read nothing the queue would refuse: the same bytes would be read again.
        if (handler->IsOutputFull()) return;
        ACE_Message_Block* const chunk = TakeChunk();
        if (chunk == 0) return;  // no memory now: OnStreamReady tries again
        const ssize_t count = transferFile_.Read(chunk->wr_ptr(), TRANSFER_CHUNK);
        if (count <= 0) {
            // The data file is shorter than its entry or unreadable: the client would
            // wait for the rest forever.
            NodeGuard guard(owner_->GetLock());
            AbortTransfer();
            Disconnect();
            return;
        }
        chunk->wr_ptr(static_cast<size_t>(count));
        if (handler->SendShared(*chunk) < 0) return;
        transferFile_.Advance(static_cast<size_t>(count));
    }
    const int transferId = transferId_;
    CloseTransfer();
    owner_->FileTransferDownloaded(transferId);
}

// The chunks of a download are read straight into blocks that the output queue takes by
// reference, so each byte is copied once on its way to the socket, and a block the queue
// has released is used again rather than freed and allocated anew (fresh memory costs
// a page fault per page). At most one queue's worth of blocks exists. Only this thread
// touches their reference counts.
ACE_Message_Block* ServerUser::TakeChunk() {
    for (size_t i = 0; i < downloadChunks_.size(); ++i) {
        if (downloadChunks_[i]->reference_count() == 1) {
            downloadChunks_[i]->reset();
            return downloadChunks_[i];
        }
    }
    if (downloadChunks_.size() >= MAX_DOWNLOAD_CHUNKS) return 0;
    ACE_Message_Block* chunk = new (std::nothrow) ACE_Message_Block(TRANSFER_CHUNK);
    if (chunk != 0 && chunk->size() < TRANSFER_CHUNK) {
        chunk->release();
        chunk = 0;
    }
    if (chunk != 0) downloadChunks_.push_back(chunk);
    return chunk;
}

void ServerUser::AbortTransfer() {
    if (transferFile_.IsOpen()) transferFile_.Close(transferIsUpload_);
    fileTransferActive_ = false;
}

void ServerUser::CloseTransfer() {
    // Blocks still queued stay alive through the queue's own references.
    for (size_t i = 0; i < downloadChunks_.size(); ++i) downloadChunks_[i]->release();
    downloadChunks_.clear();
    // An upload's file is open only while it is unfinished.
    if (transferFile_.IsOpen()) transferFile_.Close(transferIsUpload_);
    fileTransferActive_ = false;
    transferIsUpload_ = false;
    transferId_ = 0;
    transferSize_ = 0;
}

// Read once, when the connection came (the voice endpoint keeps it), not per call.
bool ServerUser::GetPeerAddress(ACE_INET_Addr& address) const {
    const uint32_t ip = voice_->GetTcpAddress();
    if (connection_ == 0 || connection_ == ACE_INVALID_HANDLE || ip == 0) return false;
    return address.set(static_cast<u_short>(0), ip) == 0;
}

}  // namespace server
}  // namespace quorvane
