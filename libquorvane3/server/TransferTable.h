// The registered file transfers: registration ("regsendfile", "regrecvfile"), the start
// of a data phase on a second connection, completion and the end of a transfer.
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_TRANSFERTABLE_H
#define QUORVANE_SERVER_TRANSFERTABLE_H

#include <map>

#include "server/FileTransfer.h"
#include "server/ServerChannel.h"
#include "server/TransferFile.h"

namespace quorvane {
namespace server {

class ServerNode;
class ServerUser;

class TransferTable {
public:
    explicit TransferTable(ServerNode& node) : node_(node) {}

    // Registers the transfer (channel, filename, userId, filesize, upload filled in) and
    // sets its transferId and localPath. An error code; a refusal takes no id.
    int UserRegFileTransfer(FileTransfer& transfer);
    // Starts the data phase on the connection of userId: copies the record and opens its
    // file. Only a connection from the registering user's host may, and only in the
    // registered direction.
    int UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer, TransferFile& file);
    // An upload has reached its size and its file is closed: moves it into the store and
    // announces it.
    int FileTransferCompleted(int transferId);
    // The last byte of a download has been queued: reports it and frees the id.
    void FileTransferDownloaded(int transferId);
    // A copy of a registered transfer; false when the id is unknown.
    bool GetTransfer(int transferId, FileTransfer& transfer) const;
    // Forgets the transfers the user's connection carries or registered and never began,
    // and ends the data phase on its connection.
    void DropTransfers(ServerUser& user);
    void GetActiveTransfers(int& transfers, int& uploads, int& downloads) const;

private:
    typedef std::map<int, FileTransfer> transfers_t;

    int TakeTransferId();
    // Whether the upload fits the channel's quota with its files and the uploads
    // registered for it.
    bool CanAddUpload(const serverchannel_t& channel, int64_t filesize) const;

    ServerNode& node_;
    transfers_t transfers_;  // the ids in use are its keys
    int lastTransferId_ = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
