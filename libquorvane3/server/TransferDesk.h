// What the data phase of a transfer asks of the table of registered transfers:
// TransferTable implements it, and each connection's TransferSession calls it.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_TRANSFERDESK_H
#define QUORVANE_SERVER_TRANSFERDESK_H

#include "server/FileTransfer.h"
#include "server/TransferFile.h"

namespace quorvane {
namespace server {

class TransferDesk {
public:
    virtual ~TransferDesk() = default;
    // Starts the data phase on the connection of userId: copies the record and opens its
    // file. Only a connection from the registering user's host may, and only in the
    // registered direction. An error code.
    virtual int UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer,
                                      TransferFile& file) = 0;
    // An upload has reached its size and its file is closed: moves it into the store and
    // announces it. An error code.
    virtual int FileTransferCompleted(int transferId) = 0;
    // The last byte of a download has been queued: reports it and frees the id.
    virtual void FileTransferDownloaded(int transferId) = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
