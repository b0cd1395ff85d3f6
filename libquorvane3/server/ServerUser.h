// The server's object for one TCP connection: the user record plus login state, the
// channel it is in, the inactivity counter and its file transfer. It reads the
// connection's command lines (ServerUserCommands.cpp) and sends every line a client
// receives (ServerUserLines.cpp).
//
// Threads: everything runs on the main reactor's thread under the server node's lock,
// except the voice path, which reads the UDP address and channel on the UDP thread
// under the same lock.
// Lifetime: owned by the node's registry through a shared_ptr. OnStreamData holds a
// strong reference to itself, so a command that ends its own connection cannot free
// it while the command still runs.
#ifndef QUORVANE_SERVER_SERVERUSER_H
#define QUORVANE_SERVER_SERVERUSER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ace/Global_Macros.h>

#include "model/ChannelFile.h"
#include "model/User.h"
#include "server/BanRecord.h"
#include "network/StreamListener.h"
#include "server/TextMessage.h"
#include "server/VoiceEndpoint.h"
#include "server/TransferFile.h"

class ACE_Message_Block;
class SharedLine;
class StreamHandler;

namespace quorvane {
namespace server {

class ServerNode;
class ServerChannel;
typedef std::shared_ptr<ServerChannel> serverchannel_t;

class ServerUser : public User,
                   public StreamListener,
                   public std::enable_shared_from_this<ServerUser> {
public:
    ServerUser(int userId, ServerNode* owner, ACE_HANDLE connection);
    ~ServerUser() override;

    bool IsLoggedIn() const { return loggedIn_; }
    // Also tells the voice path, which relays only from and to logged-in users.
    void SetLoggedIn(bool value);
    bool IsAdmin() const { return admin_; }
    void SetAdmin(bool value);
    // Whether a hello has given this user a voice address.
    bool IsUdpConnected() const { return voice_->HasAddress(); }
    void ClearUdpAddress() { voice_->ClearAddress(); }

    // The voice address and packet protocol live in the voice endpoint, which the voice
    // thread updates without the node's lock. Main loop's thread.
    void SetUdpAddress(const ACE_INET_Addr& address) override;
    const ACE_INET_Addr& GetUdpAddress() const override;
    void SetPacketProtocol(int protocol) override { voice_->SetPacketProtocol(protocol); }
    int GetPacketProtocol() const override { return voice_->GetPacketProtocol(); }
    const voiceendpoint_t& GetVoiceEndpoint() const { return voice_; }
    int GetInactiveSeconds() const { return inactiveSeconds_; }
    void SetInactiveSeconds(int value) { inactiveSeconds_ = value; }
    void SetClientProtocol(const std::string& protocol) { clientProtocol_ = protocol; }
    std::string GetClientProtocol() const { return clientProtocol_; }
    ACE_HANDLE GetConnection() const { return connection_; }
    bool IsFileTransferActive() const { return fileTransferActive_; }
    bool IsTransferUpload() const { return transferIsUpload_; }
    int GetTransferID() const { return transferId_; }
    int64_t GetTransferSize() const { return transferSize_; }

    serverchannel_t GetChannel() const;
    void SetChannel(const serverchannel_t& channel);
    // The channel this user left with "leave": it no longer hears it, but an emptied
    // non-static channel is still removed at the user's next join or disconnection.
    void SetLeftChannel(const serverchannel_t& channel);
    serverchannel_t TakeLeftChannel();
    // The channels this user was made operator of, for the disconnection to revoke.
    void AddOperatorChannel(const serverchannel_t& channel);
    std::vector<serverchannel_t> TakeOperatorChannels();
    // Dotted text of the voice address's IP ("0.0.0.0" before the first hello).
    std::string GetIpAddress() const;

    // Closes the connection if it is still open; the close comes back later through
    // OnStreamClosed and the node's UserDisconnected.
    void Disconnect();
    // Unties the user from its connection and its owner without any callback; used
    // when the node goes away while a close is still pending.
    void Detach();

    // StreamListener
    void OnStreamOpened() override;
    void OnStreamClosed() override;
    void OnStreamData(const char* data, ssize_t length, bool& keepOpen) override;
    bool HasPendingInput() const override { return pendingInput_; }
    void OnStreamResume(bool& keepOpen) override;
    void OnStreamReady() override;

    // The send path of every line. A line to the user whose command is running is a
    // reply and may go past the output's high water mark; any other line that finds the
    // output full closes the connection as lagging (the close runs on a later turn, so
    // a broadcast walking the users is not disturbed). Negative when not queued.
    virtual int SendLine(const std::string& line);
    // The same for a line queued by reference on many connections (broadcasts).
    virtual int SendShared(const SharedLine& line);
    // A shared line about other users or channels: suppressed unless logged in.
    void SendNotice(const SharedLine& line);

    // Lines about the user itself, sent in every state.
    void SendWelcome(const std::string& serverName, const std::string& motd,
                     bool allowChannels, bool allowOperators);
    void SendAccepted();
    void SendYouAre();
    void SendServerUpdate(const std::string& serverName, const std::string& motd,
                          bool allowChannels, bool allowOperators);
    void SendPong();
    void SendOk();
    void SendDone();
    void SendFileCompleted();
    void SendError(int code);
    void SendPwc();

    // Lines suppressed unless this user is logged in (and the subject is present).
    void SendLoggedOut();
    void SendAddUser(const std::shared_ptr<ServerUser>& user);
    void SendUpdateUser(const std::shared_ptr<ServerUser>& user);
    void SendRemoveUser(const std::shared_ptr<ServerUser>& user);
    void SendAddChannel(const serverchannel_t& channel);
    void SendUpdateChannel(const serverchannel_t& channel);
    void SendRemoveChannel(const serverchannel_t& channel);
    void SendJoined(const serverchannel_t& channel);
    void SendLeft(const serverchannel_t& channel);
    void SendMessageDeliver(const TextMessage& message);

    // Lines for administrators, sent in every state.
    void SendUserBanned(const BanRecord& ban);

    // File lines, sent in every state.
    void SendAddFile(const ChannelFile& file, const serverchannel_t& channel);
    void SendRemoveFile(const std::string& filename, const serverchannel_t& channel);
    void SendFileShareInfo(const std::string& filesRoot, int64_t diskQuota);
    void SendFileAccepted(int transferId);
    void SendFileRejected(int code);
    void SendFileDeliver(int64_t filesize, const std::string& filename);
    void SendFileReady(int transferId, int64_t filesize);

    // --- Files --- (main reactor thread)
    // Ends the connection's transfer: closes its file, deletes an unfinished upload and
    // clears the transfer fields.
    void CloseTransfer();
    // The IP address of the client's end of this user's connection (port 0).
    bool GetPeerAddress(ACE_INET_Addr& address) const;
    enum {
        TRANSFER_CHUNK = 65536,
        // A full output queue (1 MiB) plus the chunk that overflows it, and one spare.
        MAX_DOWNLOAD_CHUNKS = 18,
    };

    // The text of an "addchannel" or "updatechannel" line; administrators are shown the
    // password and the static flag. Built once for many receivers by broadcasts.
    static std::string ChannelLine(const char* word, const serverchannel_t& channel, bool forAdmin);
    static std::string PathLine(const char* word, const serverchannel_t& channel);
    // "adduser"/"updateuser" and "removeuser" about a user: built once for all
    // receivers; empty when the user is in no channel (nobody is told then).
    static std::string UserLine(const char* word, const ServerUser& user);
    static std::string RemoveUserLine(const ServerUser& user);

    // Breadth-first walks from a channel.
    void SendChannels(const serverchannel_t& channel);
    void SendUsers(const serverchannel_t& channel, bool recursive);
    void SendFiles(const serverchannel_t& channel, bool recursive);

    // Handles one received line (its LF included). Clears keepOpen on quit.
    void ProcessCommand(const std::string& line, bool& keepOpen);

    // Upper bound of received command text without an LF; a client past it is
    // disconnected rather than allowed to grow the buffer without limit.
    enum {
        MAX_LINE_BEFORE_LOGIN = 4096,
        MAX_LINE = 65536,
        // Commands handled per turn of the loop; the rest wait for the next turn, each
        // under its own holding of the node's lock.
        COMMANDS_PER_TURN = 32,
        // ... and no new command once a turn has run this long: one command that is
        // announced to thousands of users is a turn of its own.
        TURN_MICROSECONDS = 5000,
    };

private:
    typedef void (ServerUser::*Handler)(const std::string& line, bool& keepOpen);
    struct Command;
    static const Command COMMANDS[31];

    StreamHandler* FindStreamHandler() const;
    // A send that could not be queued logs the user out of its lines (not its connection).
    int CheckSent(int result);
    // Handles up to COMMANDS_PER_TURN complete lines of the buffer. On the read that
    // brought them (onRead) only the leading commands that answer on read are handled:
    // the rest wait for a turn of their own, so that a read never costs more than a few
    // cheap commands and a client's ping is not held up behind other clients' logins.
    void ProcessLines(bool& keepOpen, bool onRead);
    static bool AnswersOnRead(const std::string& line, size_t start, size_t end);
    // The command table's entry for the word, ignoring letter case; null when none.
    static const Command* FindCommand(const std::string& word);
    bool PassesStateTest(const Command& command);
    void SendChannelLine(const char* word, const serverchannel_t& channel);
    void SendPathLine(const char* word, const serverchannel_t& channel);
    void SendUserLine(const char* word, const std::shared_ptr<ServerUser>& user);

    // Required-parameter readers: on failure they send the error and answer false.
    bool RequireString(const std::string& line, const char* name, int error, std::string& out);
    // An absent optional text reads as empty; one with a NUL byte is refused.
    bool OptionalString(const std::string& line, const char* name, int error, std::string& out);
    bool RequireInt(const std::string& line, const char* name, int error, int& out);
    bool RequireBool(const std::string& line, const char* name, int error, bool& out);
    // Sends the error line unless the code is success; answers whether it was success.
    bool Succeeded(int code);

    // Command handlers, one per command word (ServerUserCommands.cpp).
    void HandleQuit(const std::string& line, bool& keepOpen);
    void HandleLogin(const std::string& line, bool& keepOpen);
    void HandleLogout(const std::string& line, bool& keepOpen);
    void HandleChangeNick(const std::string& line, bool& keepOpen);
    void HandlePing(const std::string& line, bool& keepOpen);
    void HandleJoin(const std::string& line, bool& keepOpen);
    void HandleLeave(const std::string& line, bool& keepOpen);
    void HandlePwc(const std::string& line, bool& keepOpen);
    void HandleWhoAmI(const std::string& line, bool& keepOpen);
    void HandleChangeStatus(const std::string& line, bool& keepOpen);
    void HandleKick(const std::string& line, bool& keepOpen);
    void HandleMakeChannel(const std::string& line, bool& keepOpen);
    void HandleUpdateChannel(const std::string& line, bool& keepOpen);
    void HandleRemoveChannel(const std::string& line, bool& keepOpen);
    void HandleMoveUser(const std::string& line, bool& keepOpen);
    void HandleOp(const std::string& line, bool& keepOpen);
    void HandleMessage(const std::string& line, bool& keepOpen);
    void HandleAdmin(const std::string& line, bool& keepOpen);
    void HandleUpdateServer(const std::string& line, bool& keepOpen);
    void HandleUpdateAdmin(const std::string& line, bool& keepOpen);
    void HandleSaveConfig(const std::string& line, bool& keepOpen);
    void HandleBan(const std::string& line, bool& keepOpen);
    void HandleUnban(const std::string& line, bool& keepOpen);
    void HandleListBans(const std::string& line, bool& keepOpen);
    // File commands (ServerUserFiles.cpp).
    void HandleRegSendFile(const std::string& line, bool& keepOpen);
    void HandleRegRecvFile(const std::string& line, bool& keepOpen);
    void HandleSendFile(const std::string& line, bool& keepOpen);
    void HandleRecvFile(const std::string& line, bool& keepOpen);
    void HandleFileDeliver(const std::string& line, bool& keepOpen);
    void HandleFileShare(const std::string& line, bool& keepOpen);
    void HandleDeleteFile(const std::string& line, bool& keepOpen);
    void RegisterTransfer(const std::string& line, bool upload);
    void BeginTransfer(const std::string& line, bool upload, bool& keepOpen);
    bool RequireInt64(const std::string& line, const char* name, int error, int64_t& out);
    bool IsUploading() const { return fileTransferActive_ && transferIsUpload_; }
    // The data phase (ServerUserFiles.cpp).
    void ReceiveFileData(const char* data, size_t length, bool& keepOpen);
    void FinishUpload(bool& keepOpen);
    // Ends a failed data phase (an unfinished upload's file goes) while the connection
    // closes; the transfer id stays, so that the node forgets the transfer with the user.
    void AbortTransfer();
    // Queues chunks of the download while the output queue has room (at most maxChunks
    // when not 0).
    void PumpDownload(int maxChunks = 0);
    ACE_Message_Block* TakeChunk();
    // Commands whose server side is not available yet answer "Command not recognized".
    void HandleUnavailable(const std::string& line, bool& keepOpen);

    // Logged-in users other than administrators count against the user limit; the node
    // keeps their number as the flags change, so a login need not walk every user.
    bool Counted() const { return loggedIn_ && !admin_; }
    void SetFlags(bool loggedIn, bool admin);

    ServerNode* owner_;
    bool loggedIn_;
    ACE_HANDLE connection_;
    mutable std::atomic<StreamHandler*> stream_{0};  // connection_'s handler, once looked up
    std::string clientProtocol_;
    voiceendpoint_t voice_;
    mutable ACE_INET_Addr udpAddressRead_;  // GetUdpAddress's answer, read from voice_
    int inactiveSeconds_;
    bool admin_;
    std::weak_ptr<ServerChannel> channel_;
    std::weak_ptr<ServerChannel> leftChannel_;
    std::vector<std::weak_ptr<ServerChannel>> operatorOf_;
    bool fileTransferActive_;
    bool transferIsUpload_;
    int transferId_;
    int64_t transferSize_;
    std::string lineBuffer_;
    size_t lineStart_ = 0;     // where the unhandled text of lineBuffer_ starts
    size_t scanFrom_ = 0;      // lineBuffer_ has no LF between lineStart_ and here
    bool pendingInput_ = false;  // complete lines may be waiting for the next turn
    bool inCommand_ = false;     // this user's own command is running: lines are replies
    bool lagging_ = false;
    // --- Files ---
    TransferFile transferFile_;
    std::vector<ACE_Message_Block*> downloadChunks_;  // ours; the output queue may also hold them
};

typedef std::shared_ptr<ServerUser> serveruser_t;

}  // namespace server
}  // namespace quorvane

#endif
