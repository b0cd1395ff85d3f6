// One registered file transfer: what "regsendfile" or "regrecvfile" asked for, kept in
// the server node's transfer table until the upload completes or the transferring
// connection goes away. The main loop's thread only.
#ifndef QUORVANE_SERVER_FILETRANSFER_H
#define QUORVANE_SERVER_FILETRANSFER_H

#include <cstdint>
#include <memory>
#include <string>

#include "network/IpAddress.h"

namespace quorvane {
namespace server {

class ServerChannel;

struct FileTransfer {
    std::string channel;  // path of the channel the file belongs to
    // The channel itself: one removed and made again under the same path is another
    // channel, which the transfer never reaches.
    std::weak_ptr<ServerChannel> channelRef;
    std::string localPath;  // the temporary file of an upload, the data file of a download
    std::string filename;   // the file's name in the channel
    int userId = 0;         // the user that registered the transfer
    int64_t filesize = 0;   // announced size of an upload, stored size of a download
    int transferId = 0;
    bool upload = false;
    int dataUserId = 0;  // the connection that began it last; 0 while none has
    // The address of the registering user's command connection: only a data connection
    // from the same host may use the transfer, so that an id, random as it is, is not all
    // that grants access to a file.
    IpAddress host;
};

}  // namespace server
}  // namespace quorvane

#endif
