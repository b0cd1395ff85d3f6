// The data phase of a file transfer on one connection: after "sendfile" the bytes that
// arrive go into the upload's file, spliced from the socket through a pipe (no copy
// through the program; a read and a write where the system cannot splice); after
// "recvfile" and "filedeliver" the download's file goes to the socket with sendfile(2).
// Both move bounded pieces between other events: an upload at most TURN_BYTES per
// readable event, one CHUNK call at a time; a download for at most PASS_MICROSECONDS and
// PASS_BYTES per output pass, in calls that grow from CHUNK to
// StreamHandler::FILE_SLICE_BYTES while the socket takes them whole, and on the next pass
// at once, without waiting for room, while it does. Nothing of the file is ever held in
// memory.
//
// Threads: the main loop's thread (checked in debug builds). The open file and the fields
// belong to it alone.
#ifndef QUORVANE_SERVER_TRANSFERSESSION_H
#define QUORVANE_SERVER_TRANSFERSESSION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "network/StreamListener.h"
#include "server/FileTransfer.h"
#include "server/TransferFile.h"

namespace quorvane {
namespace server {

class ServerStatistics;
class ServerUser;
class TransferDesk;

class TransferSession {
public:
    enum {
        CHUNK = 65536,         // one system call's share (a download's first)
        TURN_BYTES = 262144,   // one readable event's share of an upload
        PASS_BYTES = 4194304,  // one output pass's share of a download, and its time:
        PASS_MICROSECONDS = 1000
    };

    // For the user whose connection carries it; desk is the table of registered transfers.
    TransferSession(ServerUser& user, TransferDesk& desk, ServerStatistics& statistics)
        : user_(user), desk_(desk), statistics_(statistics) {}
    // An unfinished upload's file is deleted.
    ~TransferSession() { Close(); }
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // "sendfile"/"recvfile": begins the registered transfer on this connection (the node
    // checks and opens its file). An error code.
    int Begin(int transferId, bool upload, bool& keepOpen);
    // "filedeliver": the prepared download starts to flow, on the connection's next
    // output turn, after whatever was queued before it ("fileready").
    void StartDownload();
    // File data of an upload that arrived as bytes (those behind the "sendfile" line, or
    // all of them where splicing is not possible). Bytes past the announced size or a
    // write the file system refuses end the transfer: the connection closes and the
    // unfinished file goes.
    void Receive(const char* data, size_t length, bool& keepOpen);
    // An upload that takes its data from the socket itself; false once splicing failed.
    bool TakesSocket() const { return IsUploading() && spliceable_; }
    // The upload's socket is readable: splices what is there into the file, with the
    // same ends as Receive.
    StreamListener::Input ReceiveFrom(int socket);
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
    // Sends the download while the socket takes it, TURN_BYTES at most, then asks for
    // another turn; stops at a full socket until OnOutputDrained.
    void Pump();
    // The pipe an upload splices through; false when none can be had.
    bool OpenPipe();
    void ClosePipe();
    // Moves count bytes from the pipe into the file at its position; false on failure.
    bool DrainPipe(size_t count);
    void Touch();
    // The data phase starts or ends moving (counted in the statistics by direction).
    void SetActive(bool active);
    void Count(size_t bytes);

    ServerUser& user_;
    TransferDesk& desk_;
    ServerStatistics& statistics_;
    bool active_ = false;
    bool upload_ = false;
    bool spliceable_ = true;
    int transferId_ = 0;
    int64_t lastActivityMs_ = 0;
    int pipe_[2] = {-1, -1};
    TransferFile file_;
};

}  // namespace server
}  // namespace quorvane

#endif
