#include "server/TransferSession.h"

#include <unistd.h>

#include <chrono>
#include <new>

#include <ace/Message_Block.h>

#include "network/StreamHandler.h"
#include "protocol/ErrorCodes.h"
#include "server/LineWriter.h"
#include "server/ServerNode.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

static_assert(TransferSession::MAX_CHUNKS == StreamHandler::HIGH_WATER_MARK / TransferSession::CHUNK + 2,
              "a download's blocks cover one full output queue");

int TransferSession::Begin(int transferId, bool upload, bool& keepOpen) {
    Close();
    ServerNode* const node = user_.Owner();
    if (!node) return ERR_FILETRANSFER_NOT_FOUND;
    FileTransfer transfer;
    const int result =
        node->Transfers().UserBeginFileTransfer(user_.GetUserID(), transferId, upload, transfer, file_);
    if (result != ERR_SUCCESS) return result;
    transferId_ = transfer.transferId;
    upload_ = upload;
    Touch();
    if (!upload) {
        user_.SendLine(LineWriter::FileReady(transferId_, transfer.filesize));
        return ERR_SUCCESS;
    }
    active_ = true;
    user_.SendLine(LineWriter::FileDeliver(transfer.filesize, transfer.filename));
    // An empty file has no bytes to wait for.
    if (transfer.filesize == 0) FinishUpload(keepOpen);
    return ERR_SUCCESS;
}

void TransferSession::StartDownload() {
    // Only a prepared download: the flag also spares its user the inactivity drop.
    if (!file_.IsOpen() || upload_) return;
    active_ = true;
    // One chunk from the command; the rest follows as the output drains.
    Pump(1);
}

void TransferSession::Touch() {
    lastActivityMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
}

void TransferSession::Receive(const char* data, size_t length, bool& keepOpen) {
    Touch();
    switch (file_.Write(data, length)) {
    case TransferFile::WRITE_MORE:
        return;
    case TransferFile::WRITE_COMPLETE:
        FinishUpload(keepOpen);
        return;
    case TransferFile::WRITE_PAST_END:
    case TransferFile::WRITE_FAILED:
        Abort();
        keepOpen = false;
        return;
    }
}

void TransferSession::FinishUpload(bool& keepOpen) {
    const std::string path = file_.GetPath();
    file_.Close();
    ServerNode* const node = user_.Owner();
    if (node && node->Transfers().FileTransferCompleted(transferId_) == ERR_SUCCESS) {
        user_.SendLine(LineWriter::Word("filecompleted"));
        Close();
        return;
    }
    ::unlink(path.c_str());
    Abort();
    keepOpen = false;
}

// Fills the connection's output queue up to its high water mark, one chunk at a time,
// and stops there: OnOutputDrained runs it again once the queue has drained. A download
// of any size thus holds about one queue of it in memory.
void TransferSession::Pump(int maxChunks) {
    if (!active_ || upload_ || !file_.IsOpen()) return;
    StreamHandler* const handler = user_.FindStreamHandler();
    if (!handler) return;
    for (int chunks = 0; !file_.AtEnd(); ++chunks) {
        if (maxChunks > 0 && chunks == maxChunks) return;
        // Read nothing the queue would refuse: the same bytes would be read again.
        if (handler->IsOutputFull()) return;
        ACE_Message_Block* const chunk = TakeChunk();
        if (chunk == 0) return;  // no memory now: the next drain tries again
        const ssize_t count = file_.Read(chunk->wr_ptr(), CHUNK);
        if (count <= 0) {
            // The data file is shorter than its entry or unreadable: the client would
            // wait for the rest forever.
            Abort();
            user_.Disconnect();
            return;
        }
        chunk->wr_ptr(static_cast<size_t>(count));
        if (handler->SendShared(*chunk) < 0) return;
        file_.Advance(static_cast<size_t>(count));
        Touch();
    }
    const int transferId = transferId_;
    Close();
    if (ServerNode* const node = user_.Owner()) node->Transfers().FileTransferDownloaded(transferId);
}

// The chunks of a download are read straight into blocks that the output queue takes by
// reference, so each byte is copied once on its way to the socket, and a block the queue
// has released is used again rather than freed and allocated anew (fresh memory costs
// a page fault per page). At most one queue's worth of blocks exists. Only this thread
// touches their reference counts.
ACE_Message_Block* TransferSession::TakeChunk() {
    for (size_t i = 0; i < chunks_.size(); ++i) {
        if (chunks_[i]->reference_count() == 1) {
            chunks_[i]->reset();
            return chunks_[i];
        }
    }
    if (chunks_.size() >= MAX_CHUNKS) return 0;
    ACE_Message_Block* chunk = new (std::nothrow) ACE_Message_Block(CHUNK);
    if (chunk != 0 && chunk->size() < CHUNK) {
        chunk->release();
        chunk = 0;
    }
    if (chunk != 0) chunks_.push_back(chunk);
    return chunk;
}

void TransferSession::Abort() {
    if (file_.IsOpen()) file_.Close(upload_);
    active_ = false;
}

void TransferSession::Close() {
    // Blocks still queued stay alive through the queue's own references.
    for (size_t i = 0; i < chunks_.size(); ++i) chunks_[i]->release();
    chunks_.clear();
    // An upload's file is open only while it is unfinished.
    if (file_.IsOpen()) file_.Close(upload_);
    active_ = false;
    upload_ = false;
    transferId_ = 0;
}

}  // namespace server
}  // namespace quorvane
