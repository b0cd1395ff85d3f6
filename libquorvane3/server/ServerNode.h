// The heart of the server: owns every connected user, the channel tree, the listening
// socket, the UDP socket and the keep-alive timer, and carries out every operation a
// command or a datagram asks for.
//
// Implementation by concern:
//   ServerNode.cpp          construction, start and stop, users: ids, login, logout
//   ServerNodeChannels.cpp  join, leave, make, update, remove, move, operators
//   ServerNodeVoice.cpp     UDP datagrams: hello, keep-alive, audio relay
//   ServerNodeTimers.cpp    the keep-alive timer, inactivity and statistics
//   ServerNodeAdmin.cpp     the administrator account, server updates, kick and bans
//   ServerNodeMessages.cpp  text messages and the chat commands
//   ServerNodeFiles.cpp     file sharing: files root, transfer table, completion, deletion
//
// Threads and locks: the main reactor's thread runs connections, commands and timers;
// every operation that touches users or channels holds the node's recursive lock, one
// command at a time. The voice reactor's thread handles datagrams without that lock: it
// reads the voice endpoints (VoiceRoutes, VoiceChannel) that the main thread publishes
// and updates only their atomic fields, so voice never waits for the control plane.
// Plain setters and getters take no lock (the host calls them before start and at save).
#ifndef QUORVANE_SERVER_SERVERNODE_H
#define QUORVANE_SERVER_SERVERNODE_H

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include <ace/Guard_T.h>
#include <ace/INET_Addr.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Thread_Mutex.h>
#include <ace/Time_Value.h>

#include "network/AcceptListener.h"
#include "network/Acceptor.h"
#include "network/PacketHandler.h"
#include "network/PacketListener.h"
#include "network/TimerListener.h"
#include "server/BanRecord.h"
#include "server/FileTransfer.h"
#include "server/FloodGuard.h"
#include "server/ServerChannel.h"
#include "server/ServerNodeListener.h"
#include "server/ServerUser.h"
#include "server/VoiceRoutes.h"

class ACE_Reactor;

namespace quorvane {

class AudioPacket;

namespace server {

class ServerNode : public TimerListener, public AcceptListener, public PacketListener {
public:
    enum {
        MAX_USER_ID = 32766,
        KEEPALIVE_TIMER_ID = 1,
        KEEPALIVE_INTERVAL_SECONDS = 30,
        INACTIVITY_STEP_SECONDS = 30,
        INACTIVITY_LIMIT_SECONDS = 180,
        DEFAULT_MAX_USERS = 32767,
        LOGIN_TIMER_ID = 2,
        DEFAULT_MAX_CHANNELS = 10000,
        MAX_CHANNEL_DEPTH = 32,
        DEFAULT_MAX_CONNECTIONS_PER_ADDRESS = FloodGuard::DEFAULT_MAX_CONNECTIONS_PER_ADDRESS,
        DEFAULT_PASSWORD_LOCKOUT = FloodGuard::DEFAULT_PASSWORD_LOCKOUT,
        DEFAULT_LOGIN_TIMEOUT_SECONDS = FloodGuard::DEFAULT_LOGIN_TIMEOUT_SECONDS,
    };

    typedef std::map<int, serveruser_t> users_t;
    // Keyed by the banned IP address, compared byte for byte; iterates in address order.
    typedef std::map<std::string, BanRecord> bans_t;

    ServerNode(ACE_Reactor* reactor, ACE_Reactor* voiceReactor, ServerNodeListener* listener,
               bool saveOnChange);
    ~ServerNode() override;

    ServerNode(const ServerNode&) = delete;
    ServerNode& operator=(const ServerNode&) = delete;

    // --- Host side: settings (no lock) ---
    void SetAdminAccount(const std::string& username, const std::string& password);
    void SetServerName(const std::string& name) { serverName_ = name; }
    void SetServerPassword(const std::string& password) { serverPassword_ = password; }
    void SetRootDiskQuota(int64_t quota);
    void SetMotd(const std::string& motd) { motd_ = motd; }
    void SetAllowChannelCreation(bool value) { allowChannelCreation_ = value; }
    void SetAllowOperators(bool value) { allowOperators_ = value; }
    void SetMaxUsers(int maxUsers) { maxUsers_ = maxUsers; }
    void SetChannelDiskQuota(int64_t quota) { channelDiskQuota_ = quota; }
    // Flood limits, 0 meaning none (ServerNodeLimits.cpp); set before start.
    void SetMaxConnectionsPerAddress(int value) { flood_.SetMaxConnectionsPerAddress(value); }
    void SetPasswordLockout(int value) { flood_.SetPasswordLockout(value); }
    void SetLoginTimeout(int seconds) { flood_.SetLoginTimeout(seconds); }
    void SetMaxChannels(int value) { maxChannels_ = value; }
    int GetMaxChannels() const { return maxChannels_; }
    // Why the last StartServer failed when it was not the sockets; empty otherwise.
    std::string GetStartError() const { return startError_; }
    // The keep-alive timer's period; tests shorten it. Takes effect at the next start.
    void SetTimerInterval(const ACE_Time_Value& interval) { timerInterval_ = interval; }

    std::string GetServerName() const { return serverName_; }
    std::string GetServerPassword() const { return serverPassword_; }
    std::string GetMotd() const { return motd_; }
    std::string GetAdminUsername() const { return adminUsername_; }
    std::string GetAdminPassword() const { return adminPassword_; }
    bool GetAllowChannelCreation() const { return allowChannelCreation_; }
    bool GetAllowOperators() const { return allowOperators_; }
    int GetMaxUsers() const { return maxUsers_; }
    int64_t GetRootDiskQuota() const;
    int64_t GetChannelDiskQuota() const { return channelDiskQuota_; }
    serverchannel_t GetRootChannel() const { return rootChannel_; }

    // --- Lifecycle ---
    // Opens both sockets on the address (host byte order, 0 = any) and starts the timer.
    bool StartServer(int tcpPort, int udpPort, ACE_UINT32 address);
    // Disconnects every user, closes the sockets, cancels the timer and zeroes the
    // statistics. When the main reactor's loop runs on another thread, the work is
    // handed to that thread and this call waits for it.
    bool StopServer();
    bool IsStarted();
    // The bound TCP and UDP ports (useful when started on port 0 by tests).
    int GetTcpPort() const;
    int GetUdpPort() const;

    // --- Users ---
    serveruser_t GetUser(int userId);
    int GetNewUserID();
    std::vector<serveruser_t> GetLoggedInAdmins();
    int UserLogin(int userId, const std::string& password);
    int UserLogout(int userId);
    int UserUpdate(int userId);
    void UserDisconnected(int userId);
    // Reports a connection closed for lagging; the user's own send path calls it.
    void UserLagging(int userId);
    // A user's flags changed whether it counts against max-users; any thread.
    void CountUser(int delta) { countedUsers_.fetch_add(delta, std::memory_order_relaxed); }
    int UserKick(int userId);

    // --- Administration and bans (main loop's thread, node's lock) ---
    // Both stored texts non-empty, the name equal ignoring letter case, the password
    // equal byte for byte.
    bool CheckAdminAccount(const std::string& username, const std::string& password);
    int UserAdminLogin(int userId, const std::string& username, const std::string& password);
    // Calls the listener's save after releasing the lock when saving on change.
    void UserUpdateAdmin(const std::string& username, const std::string& password);
    void UserUpdateServer(const std::string& serverName, const std::string& password, const std::string& motd,
                          bool allowChannels, bool allowOperators);
    // Asks the listener to save; takes no lock of its own around the listener.
    void UserSaveConfig();
    // The ban table: also called by the host before start.
    void AddBan(const std::string& address, const BanRecord& ban);
    bool IsBanned(const std::string& address);
    void RemoveBan(const std::string& address);
    bans_t GetBans();
    int UserBan(int userId);
    int UserUnban(const std::string& address);
    int UserListBans(int userId);

    // --- Text messages (main loop's thread, node's lock) ---
    int UserTextMessage(const TextMessage& message);
    // The reply to a chat command (content starting with "/"); empty otherwise.
    std::string HandleServerCommand(const std::string& content);

    // --- Channels ---
    int UserJoinChannel(int userId, const std::string& path, const std::string& password,
                        const std::string& topic);
    int UserLeaveChannel(const std::string& path, int userId);
    int UserMakeChannel(const std::string& path, const std::string& password, const std::string& topic,
                        bool isStatic, int64_t diskQuota);
    int UserUpdateChannel(const std::string& path, const std::string& password, const std::string& topic,
                          bool isStatic, int64_t diskQuota);
    int UserRemoveChannel(const std::string& path);
    int UserMoveUser(int userId, const std::string& srcPath, const std::string& destPath);
    int UserGrantOperator(const std::string& path, int userId);
    serverchannel_t FindChannel(const std::string& path);

    // --- Files (main loop's thread; each takes the node's lock for the model and
    // leaves it for file system work) ---
    // Host side, before start: the directory of shared files (false when it is no
    // directory, or while started). Empty means file sharing is off.
    bool SetFilesRoot(const std::string& path);
    std::string GetFilesRoot() const { return filesRoot_; }
    // Registers the transfer (channel, filename, userId, filesize, upload filled in) and
    // sets its transferId and localPath. An error code; a refusal takes no id.
    int UserRegFileTransfer(FileTransfer& transfer);
    // Starts the data phase of an upload or a download on the connection of userId:
    // copies the record and opens its file. Only a connection from the registering
    // user's host may do so, and only in the registered direction.
    int UserBeginFileTransfer(int userId, int transferId, bool upload, FileTransfer& transfer,
                              TransferFile& file);
    // An upload has reached its size and its file is closed: moves it in, announces it.
    int FileTransferCompleted(int transferId);
    // The last byte of a download has been queued: reports it and frees the id.
    void FileTransferDownloaded(int transferId);
    int UserDeleteFile(int userId, const std::string& path, const std::string& filename);
    void AddFileToChannel(const ChannelFile& file, const serverchannel_t& channel);
    void RemoveFileFromChannel(const std::string& filename, const serverchannel_t& channel);
    // A copy of a registered transfer; false when the id is unknown.
    bool GetTransfer(int transferId, FileTransfer& transfer);

    // --- Voice (the voice reactor's thread; takes no lock of the control plane) ---
    // Routes through the voice endpoints that the main loop's thread publishes: a
    // datagram naming a user counts only from the address of that user's command
    // connection, and audio goes only from and to logged-in users.
    void OnPacketReceived(char* data, int length, const ACE_INET_Addr& from) override;
    // Sends that the kernel refuses are dropped, as voice is real time. -1 when any was.
    int SendPacket(const char* data, int length, const sockaddr_in& to);
    int SendPacketToMany(const char* data, int length, const sockaddr_in* to, size_t count);

    // --- Timer and statistics ---
    void OnTimerExpired(int timerId) override;
    void CheckInactivity();
    ACE_Time_Value GetUptime() const;
    int GetUsersOnline();
    // Statistics change on both event-loop threads; each read takes the lock.
    int GetUsersServed();
    int GetUsersPeak();
    uint64_t GetVoiceTxBytes();
    uint64_t GetVoiceRxBytes();
    void GetActiveTransfers(int& transfers, int& uploads, int& downloads);

    // --- Connections ---
    void OnNewConnection(StreamHandler* handler) override;

    // The node's recursive lock, for callers that must make several calls atomically.
    ACE_Recursive_Thread_Mutex& GetLock() { return lock_; }
    ACE_Reactor* GetReactor() const { return reactor_; }

private:
    void DoStopServer();
    template <class T>
    T ReadLocked(const T& field) {
        ACE_Guard<ACE_Recursive_Thread_Mutex> guard(lock_);
        return field;
    }
    void RemoveEmptyChannels(serverchannel_t channel);
    // Lines to every connection (logged in or not) that is not busy with a file.
    void SendServerUpdateToAll();
    // The endpoint of the user the datagram names, when it may speak for that user.
    voiceendpoint_t VoiceOwner(int userId, const ACE_INET_Addr& from) const;
    void ForwardAudioPacket(const VoiceEndpoint& sender, int destUserId, const AudioPacket& packet);
    void HandleHello(char* data, int length, const ACE_INET_Addr& from);
    void HandleKeepAlive(char* data, int length, const ACE_INET_Addr& from);
    void RelayAudio(AudioPacket& packet, uint8_t relayedType, int length, const ACE_INET_Addr& from);
    // Sends every logged-in user the channel's "updatechannel" (or another channel line).
    void SendChannelLineToAll(const char* word, const serverchannel_t& channel);
    void SendUpdateChannelToAll(const serverchannel_t& channel);
    // One line, built once, to each receiver that is logged in; nothing when empty.
    void NotifyAll(const std::vector<serveruser_t>& receivers, const std::string& text);
    void SendAddChannelToAll(const serverchannel_t& channel);
    void SendRemoveChannelToAll(const serverchannel_t& channel);
    bool OnReactorThread() const;
    // --- Limits (ServerNodeLimits.cpp; main loop's thread, node's lock) ---
    // Counts the connection against its address; false when the address holds its limit.
    bool AdmitConnection(int userId, StreamHandler* handler);
    // A password check that counts wrong answers against the connection's address; while
    // the address is locked out every answer is wrong, unchecked. Nothing stored means
    // nothing to guess: then it only compares.
    bool CheckPassword(const serveruser_t& user, const std::string& given, const std::string& stored);
    bool PasswordLockedOut(const serveruser_t& user);
    bool CountPassword(const serveruser_t& user, bool matched);
    // ERR_SUCCESS, or why a channel of that depth cannot be added now.
    int CheckChannelLimits(size_t depth);
    // Schedules and cancels the login-timeout check; false when it cannot be scheduled.
    bool StartLimitTimer();
    void ReturnFreedHeap(size_t users);
    void StopLimitTimer();
    // Closes connections that did not log in in time; forgets expired password records.
    void CheckLoginTimeouts();
    // --- Files ---
    std::string FilePath(const std::string& name) const { return filesRoot_ + "/" + name; }
    int TakeTransferId();
    bool CanAddUpload(const serverchannel_t& channel, int64_t filesize);
    // Forgets the user's transfer and closes its file (an unfinished upload is deleted).
    void DropTransfer(const serveruser_t& user);
    int MoveIntoStore(const std::string& localPath, std::string& internalName);
    // Takes the entry out of the channel and announces it, leaving its data file.
    bool DetachFile(const std::string& filename, const serverchannel_t& channel, ChannelFile& file);

    // users_ in id order as a plain array, for the broadcasts to everyone: walking the map
    // costs a cache miss per user, thousands per broadcast. Rebuilt on the first broadcast
    // after users_ changed. Node's lock.
    const std::vector<ServerUser*>& EveryUser();

    bool started_;
    users_t users_;
    std::vector<ServerUser*> everyUser_;
    bool everyUserStale_ = true;
    int lastUserId_;
    std::string motd_;
    std::string serverName_;
    std::string serverPassword_;
    int maxUsers_;
    Acceptor acceptor_;
    PacketHandler packetHandler_;
    serverchannel_t rootChannel_;
    bans_t bans_;
    std::set<int> admins_;  // ids that logged in as administrator, while connected
    std::string adminUsername_;
    std::string adminPassword_;
    bool allowChannelCreation_;
    bool allowOperators_;
    int64_t channelDiskQuota_;
    long timerId_;
    ACE_Reactor* reactor_;
    ACE_Time_Value startTime_;
    std::atomic<uint64_t> voiceBytesSent_;
    std::atomic<uint64_t> voiceBytesReceived_;
    int usersPeak_;
    int usersServed_;
    std::atomic<int> countedUsers_{0};  // logged in and not administrators
    std::string filesRoot_;
    ServerNodeListener* listener_;
    bool saveOnChange_;
    ACE_Time_Value timerInterval_;
    ACE_Recursive_Thread_Mutex lock_;
    // User id to voice endpoint: written on the main loop's thread, read by the voice path.
    VoiceRoutes voiceRoutes_;
    // Receivers of the packet being relayed and the messages of their sends; reused so
    // the voice path does not allocate. The voice thread's alone.
    std::vector<sockaddr_in> voiceTargets_;
    std::vector<struct mmsghdr> sendMessages_;
    // --- Files --- (the node's lock)
    typedef std::map<int, FileTransfer> transfers_t;
    transfers_t transfers_;  // the ids in use are its keys
    int lastTransferId_;
    // --- Limits --- (the node's lock)
    FloodGuard flood_;
    int maxChannels_;
    long loginTimerId_;
    struct HeapWatch {  // what ReturnFreedHeap saw since its last trim; main thread only
        size_t residentAfterTrim = 0;
        long long peakQueued = 0;
        size_t mostUsers = 0;
    } heapWatch_;
    std::string startError_;
};

}  // namespace server
}  // namespace quorvane

#endif
