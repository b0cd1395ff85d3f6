// The registered file transfers: registration ("regsendfile", "regrecvfile"), the start
// of a data phase on a second connection, completion and the end of a transfer.
//
// A transfer id grants access to a file: ids are drawn at random (from the kernel's
// random source) over 1..MAX_TRANSFER_ID and are unique among those in use. A user holds
// at most MAX_WAITING registrations that no data connection has begun (a new one drops
// its oldest), and a registration not begun within REGISTRATION_SECONDS expires. A
// registration costs O(log n) whatever the table holds.
//
// Threads: the main loop's thread (checked in debug builds).
#ifndef QUORVANE_SERVER_TRANSFERTABLE_H
#define QUORVANE_SERVER_TRANSFERTABLE_H

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "server/FileTransfer.h"
#include "server/ServerChannel.h"
#include "server/TransferDesk.h"
#include "server/TransferFile.h"
#include "settings/SettingsTable.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class ChannelTree;
class FileStore;
class ServerNodeListener;
class ServerStatistics;
class ServerUser;
class UserRegistry;

class TransferTable : public TransferDesk {
public:
    enum {
        MAX_TRANSFER_ID = 2147483646,
        MAX_WAITING = 16,
        REGISTRATION_SECONDS = 60,
        DEFAULT_TRANSFER_TIMEOUT_SECONDS = SettingsTable::Default("transfer-timeout"),
    };

    // files holds the files transfers read and complete; listener hears of uploads and
    // downloads.
    TransferTable(ACE_Reactor* loop, ServerStatistics& statistics, FileStore& files, const ChannelTree& tree,
                  UserRegistry& users, ServerNodeListener& listener)
        : loop_(loop), statistics_(statistics), files_(files), tree_(tree), users_(users), listener_(listener) {}

    // Seconds a data connection may move no byte before it is closed; 0 = no limit.
    void SetTransferTimeout(int seconds);
    int GetTransferTimeout() const { return timeoutSeconds_; }

    // Registers the transfer (channel, filename, userId, filesize, upload filled in) and
    // sets its transferId and localPath. An error code; a refusal takes no id.
    int UserRegFileTransfer(FileTransfer& transfer);
    // Starts the data phase on the connection of userId: copies the record and opens its
    // file. Only a connection from the registering user's host may, and only in the
    // registered direction.
    int UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer,
                              TransferFile& file) override;
    // An upload has reached its size and its file is closed: moves it into the store and
    // announces it.
    int FileTransferCompleted(int transferId) override;
    // The last byte of a download has been queued: reports it and frees the id.
    void FileTransferDownloaded(int transferId) override;
    // A copy of a registered transfer; false when the id is unknown.
    bool GetTransfer(int transferId, FileTransfer& transfer) const;
    // Forgets the transfers the user's connection carries or registered and never began,
    // and ends the data phase on its connection.
    void DropTransfers(ServerUser& user);
    // The channel leaves the tree: its registrations go with their quota reservations, and
    // each upload under way ends (its file deleted, its data connection told
    // ERR_CHANNEL_NOT_FOUND and closed). A download under way runs to its end.
    void ChannelRemoved(const serverchannel_t& channel);
    void GetActiveTransfers(int& transfers, int& uploads, int& downloads) const;
    // Every second (nowMs on the steady clock): forgets registrations not begun in time
    // and closes data connections idle past the transfer timeout.
    void CheckTimeouts(int64_t nowMs);

private:
    typedef std::map<int, FileTransfer> transfers_t;
    // What is registered for one channel path.
    struct ChannelTransfers {
        std::set<int> ids;
        int uploads = 0;          // among them
        int64_t uploadBytes = 0;  // of the uploads
    };

    int TakeTransferId();
    // The transfer's channel while it is still in the tree; null once it was removed.
    serverchannel_t ChannelOf(const FileTransfer& transfer) const;
    // Whether the upload fits the channel's quota with its files and the uploads
    // registered for it.
    bool CanAddUpload(const serverchannel_t& channel, int64_t filesize) const;
    // Whether one more file fits the file limits, the registered uploads counted.
    bool HasRoomForUpload(const serverchannel_t& channel) const;
    void Insert(const FileTransfer& transfer, int64_t nowMs);
    // Takes the transfer out of the table and every index.
    void Erase(int transferId);
    void Unwait(const FileTransfer& transfer);
    static std::string ChannelKey(const std::string& path);

    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    ServerStatistics& statistics_;
    FileStore& files_;
    const ChannelTree& tree_;
    UserRegistry& users_;
    ServerNodeListener& listener_;
    int timeoutSeconds_ = DEFAULT_TRANSFER_TIMEOUT_SECONDS;
    transfers_t transfers_;                             // the ids in use are its keys
    std::map<int, std::deque<int>> waiting_;            // user -> ids it registered, not begun, oldest first
    std::map<int, std::set<int>> carried_;              // data connection's user -> ids it began
    std::deque<std::pair<int64_t, int>> deadlines_;     // (registration deadline, id), in registration order
    std::map<std::string, ChannelTransfers> channels_;  // channel path key -> its transfers
    int uploads_ = 0;                                   // registered uploads in every channel
};

}  // namespace server
}  // namespace quorvane

#endif
