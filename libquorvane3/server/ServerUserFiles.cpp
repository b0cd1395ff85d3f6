// ServerUser: the file commands and the data phase of a connection — the upload
// writer, the download pump and the end of a transfer.
//
// Threads: all of it runs on the main reactor's thread. The transfer fields and the
// open file belong to that thread alone, so file I/O runs without the node's lock
// (the voice path waits on that lock); node operations take it themselves.
#include <sys/socket.h>
#include <unistd.h>

#include <ace/Guard_T.h>
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
        if (!transferBuffer_) transferBuffer_.reset(new char[TRANSFER_CHUNK]);
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
    PumpDownload();
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
        CloseTransfer();
        keepOpen = false;
        return;
    }
}

void ServerUser::FinishUpload(bool& keepOpen) {
    const std::string path = transferFile_.GetPath();
    transferFile_.Close();
    NodeGuard guard(owner_->GetLock());
    if (owner_->FileTransferCompleted(transferId_) == ERR_SUCCESS) {
        SendFileCompleted();
    } else {
        ::unlink(path.c_str());
        keepOpen = false;
    }
    CloseTransfer();
}

// Fills the connection's output queue up to its high water mark, one chunk at a time,
// and stops there: OnStreamReady runs it again once the queue has drained. A download
// of any size thus holds about one queue of it in memory.
void ServerUser::PumpDownload() {
    if (!fileTransferActive_ || transferIsUpload_ || !transferFile_.IsOpen()) return;
    StreamHandler* handler = connection_ != 0 ? FindStreamHandler() : 0;
    if (!handler || !transferBuffer_) return;
    char* const buffer = transferBuffer_.get();
    while (!transferFile_.AtEnd()) {
        // Read nothing the queue would refuse: the same bytes would be read again.
        if (handler->IsOutputFull()) return;
        const ssize_t count = transferFile_.Read(buffer, TRANSFER_CHUNK);
        if (count <= 0) {
            // The data file is shorter than its entry or unreadable: the client would
            // wait for the rest forever.
            NodeGuard guard(owner_->GetLock());
            CloseTransfer();
            Disconnect();
            return;
        }
        if (handler->Send(buffer, static_cast<size_t>(count)) < 0) return;
        transferFile_.Advance(static_cast<size_t>(count));
    }
    const int transferId = transferId_;
    CloseTransfer();
    owner_->FileTransferDownloaded(transferId);
}

void ServerUser::CloseTransfer() {
    // An upload's file is open only while it is unfinished.
    if (transferFile_.IsOpen()) transferFile_.Close(transferIsUpload_);
    fileTransferActive_ = false;
    transferIsUpload_ = false;
    transferId_ = 0;
    transferSize_ = 0;
}

bool ServerUser::GetPeerAddress(ACE_INET_Addr& address) const {
    if (connection_ == 0 || connection_ == ACE_INVALID_HANDLE) return false;
    sockaddr_in peer;
    int size = sizeof(peer);
    if (ACE_OS::getpeername(connection_, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
    return address.set(&peer, size) == 0;
}

}  // namespace server
}  // namespace quorvane
