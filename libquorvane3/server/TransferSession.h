// The data phase of a file transfer on one connection: after "sendfile" the bytes that
// arrive are written to the upload's file; after "recvfile" and "filedeliver" the
// download's file is queued on the connection one chunk at a time while its output has
// room, and continues each time the output has drained.
//
// Threads: the main loop's thread. The open file and the fields belong to it alone.
#ifndef QUORVANE_SERVER_TRANSFERSESSION_H
#define QUORVANE_SERVER_TRANSFERSESSION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/FileTransfer.h"
#include "server/TransferFile.h"

class ACE_Message_Block;

namespace quorvane {
namespace server {

class ServerUser;

class TransferSession {
public:
    enum {
        CHUNK = 65536,
        // A full output queue (1 MiB) plus the chunk that overflows it, and one spare.
        MAX_CHUNKS = 18,
    };

    explicit TransferSession(ServerUser& user) : user_(user) {}
    // An unfinished upload's file is deleted.
    ~TransferSession() { Close(); }
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // "sendfile"/"recvfile": begins the registered transfer on this connection (the node
    // checks and opens its file). An error code.
    int Begin(int transferId, bool upload, bool& keepOpen);
    // "filedeliver": the prepared download starts to flow.
    void StartDownload();
    // File data of an upload. Bytes past the announced size or a write the file system
    // refuses end the transfer: the connection closes and the unfinished file goes.
    void Receive(const char* data, size_t length, bool& keepOpen);
    // The connection's output has drained: the next part of a download may follow.
    void OnOutputDrained() { Pump(); }
    // Ends the transfer: closes its file, deletes an unfinished upload, clears the fields.
    void Close();

    // A data phase runs (an upload began, or a download was delivered): its user is then
    // not dropped for inactivity.
    bool IsActive() const { return active_; }
    bool IsUploading() const { return active_ && upload_; }
    int GetTransferID() const { return transferId_; }
    // A transfer's file is open on this connection (from "sendfile"/"recvfile" on).
    bool IsOpen() const { return file_.IsOpen(); }
    // When the data phase last moved a byte (or began), on the steady clock in ms.
    int64_t GetLastActivityMs() const { return lastActivityMs_; }

private:
    void FinishUpload(bool& keepOpen);
    // Ends a failed data phase (an unfinished upload's file goes) while the connection
    // closes; the transfer id stays, so that the node forgets the transfer with the user.
    void Abort();
    // Queues chunks while the output has room (at most maxChunks when not 0).
    void Pump(int maxChunks = 0);
    // A free block for the next chunk; null when none can be had now.
    ACE_Message_Block* TakeChunk();
    void Touch();

    ServerUser& user_;
    bool active_ = false;
    bool upload_ = false;
    int transferId_ = 0;
    int64_t lastActivityMs_ = 0;
    TransferFile file_;
    std::vector<ACE_Message_Block*> chunks_;  // ours; the output queue may also hold them
};

}  // namespace server
}  // namespace quorvane

#endif
