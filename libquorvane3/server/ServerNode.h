// The server: builds and owns its parts, opens and closes the listening socket and the
// UDP socket, runs the timers, and admits each new connection. It is where the parts are
// wired: each part gets the parts it uses in its constructor, here, and no part knows the
// node. Every operation a command or a datagram asks for belongs to one part; the host
// reaches each through its accessor:
//
//   Users()       UserRegistry      every connected user, ids, the administrators
//   Sessions()    UserSessions      login, logout, kick, inactivity, disconnection
//   Properties()  ServerProperties  name, password, motd, allow flags, user limit, quotas
//   Admin()       AdminAccount      the administrator account and its login
//   Bans()        BanTable          bans by IP address
//   Channels()    ChannelService    the channel tree: join, leave, make, update, remove
//   Messages()    TextMessages      text messages and the chat commands
//   Files()       FileStore         the files root and the files of the channels
//   Transfers()   TransferTable     registered transfers and their data phases
//   Limits()      FloodLimits       connections per address, password lockout, login timeout
//   Voice()       VoiceRelay        the UDP datagrams: hello, keep-alive, audio relay
//   Statistics()  ServerStatistics  uptime, users served and peak, voice bytes
//   Broadcast()   Broadcaster       lines to many users, built once
//   Departures()  DepartureNews     the news of users who left, told in one piece each
//   Output()      OutputLimit       the bound on the output of every connection together
//   Tree()        ChannelTree       the root and the look-up of channels by path
//
// Threads: the main loop's thread owns every part's state; the parts check that in debug
// builds (AssertLoopThread). Before the loop runs and after it ended, the host drives the
// node from its own thread. The voice loop's thread runs VoiceRelay, which reads only the
// voice endpoints the main thread publishes. StopServer and IsStarted may be called from
// any thread.
#ifndef QUORVANE_SERVER_SERVERNODE_H
#define QUORVANE_SERVER_SERVERNODE_H

#include <atomic>
#include <memory>
#include <string>

#include <ace/INET_Addr.h>
#include <ace/Time_Value.h>

#include "network/AcceptListener.h"
#include "network/Acceptor.h"
#include "network/PacketHandler.h"
#include "network/TimerListener.h"
#include "server/AdminAccount.h"
#include "server/BanTable.h"
#include "server/Broadcaster.h"
#include "server/ChannelService.h"
#include "server/ChannelTree.h"
#include "server/CommandRate.h"
#include "server/CommandTable.h"
#include "server/DepartureNews.h"
#include "server/FileStore.h"
#include "server/FloodLimits.h"
#include "server/HeapTrimmer.h"
#include "server/OutputLimit.h"
#include "server/OutputPolicy.h"
#include "server/SaveRequests.h"
#include "server/ServerNodeListener.h"
#include "server/ServerProperties.h"
#include "server/ServerStatistics.h"
#include "server/TextMessages.h"
#include "server/TransferTable.h"
#include "server/UserLinks.h"
#include "server/UserRegistry.h"
#include "server/UserSessions.h"
#include "server/VoiceRelay.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class ServerNode : public TimerListener, public AcceptListener, public SaveRequests {
public:
    enum {
        MAX_USER_ID = UserRegistry::MAX_USER_ID,
        KEEPALIVE_TIMER_ID = 1,
        // Every second: login timeouts, transfer timeouts, the heap, retired voice snapshots.
        HOUSEKEEPING_TIMER_ID = 2,
        KEEPALIVE_INTERVAL_SECONDS = 30,
        DEFAULT_MAX_USERS = ServerProperties::DEFAULT_MAX_USERS,
        DEFAULT_MAX_CHANNELS = ChannelService::DEFAULT_MAX_CHANNELS,
        DEFAULT_MAX_CONNECTIONS_PER_ADDRESS = FloodGuard::DEFAULT_MAX_CONNECTIONS_PER_ADDRESS,
        DEFAULT_PASSWORD_LOCKOUT = FloodGuard::DEFAULT_PASSWORD_LOCKOUT,
        DEFAULT_LOGIN_TIMEOUT_SECONDS = FloodGuard::DEFAULT_LOGIN_TIMEOUT_SECONDS,
        DEFAULT_HANDSHAKE_TIMEOUT_SECONDS = SettingsTable::Default("tls-handshake-timeout"),
    };
    typedef BanTable::bans_t bans_t;

    // reactor drives the connections and timers, voiceReactor the UDP socket; the
    // listener (may be null) is told of events; saveOnChange makes every change of the
    // configuration ask the listener to save it.
    ServerNode(ACE_Reactor* reactor, ACE_Reactor* voiceReactor, ServerNodeListener* listener, bool saveOnChange);
    ~ServerNode() override;
    ServerNode(const ServerNode&) = delete;
    ServerNode& operator=(const ServerNode&) = delete;

    UserRegistry& Users() { return users_; }
    UserSessions& Sessions() { return sessions_; }
    ServerProperties& Properties() { return properties_; }
    AdminAccount& Admin() { return admin_; }
    BanTable& Bans() { return bans_; }
    ChannelService& Channels() { return channels_; }
    TextMessages& Messages() { return messages_; }
    FileStore& Files() { return files_; }
    TransferTable& Transfers() { return transfers_; }
    FloodLimits& Limits() { return limits_; }
    VoiceRelay& Voice() { return voice_; }
    ServerStatistics& Statistics() { return statistics_; }
    Broadcaster& Broadcast() { return broadcast_; }
    DepartureNews& Departures() { return departures_; }
    OutputLimit& Output() { return output_; }
    ChannelTree& Tree() { return tree_; }
    // What each user the node admits reaches; for users that tests add themselves.
    const UserLinks& Links() const { return userLinks_; }

    // Opens both sockets where told (every address: dual stack, see BindAddress) and
    // starts the timers. False, with both sockets closed, when either port is 0 or taken.
    // With tlsPort not 0 also the TLS port, whose context SetTlsContext gave.
    bool StartServer(int tcpPort, int udpPort, const BindAddress& where, int tlsPort = 0);
    // The TLS port's certificate for the connections from now on (those made keep theirs),
    // and the time a handshake may take. Main loop's thread, or before the start.
    void SetTlsContext(std::shared_ptr<const TlsContext> context);
    void SetHandshakeTimeout(int seconds);
    int GetHandshakeTimeout() const { return handshakeSeconds_; }
    // Disconnects every user, closes the sockets, cancels the timers and zeroes the
    // statistics; false when not started. Any thread: when the main loop runs on another
    // thread, the work is handed to it and this call waits for it.
    bool StopServer();
    // Any thread.
    bool IsStarted() const { return started_.load(std::memory_order_acquire); }
    // Why the last StartServer failed when it was not the sockets; empty otherwise.
    std::string GetStartError() const { return startError_; }
    // The bound ports (useful when started on port 0 by tests).
    int GetTcpPort() const;
    int GetUdpPort() const;
    int GetTlsPort() const;
    // The keep-alive timer's period; tests shorten it. Takes effect at the next start.
    void SetTimerInterval(const ACE_Time_Value& interval) { timerInterval_ = interval; }

    // Admits the connection: an id, a user, the welcome line.
    void OnNewConnection(StreamHandler* handler) override;
    bool OnHandshakeStarted(StreamHandler& handler) override;
    void OnHandshakeEnded(StreamHandler& handler, bool ok) override;
    void OnTimerExpired(int timerId) override;

    // The administrator's "saveconfig": asks the listener to save the configuration; done
    // is told whether every file was written (on this thread, perhaps later).
    void UserSaveConfig(const ServerNodeListener::SaveDone& done) override;
    // After a change of the configuration: the same, when saving on change.
    void SaveIfSavingOnChange() override;
    // A ban or an unban: the listener keeps the table.
    void BansChanged() override;

    ACE_Reactor* GetReactor() const { return reactor_; }
    // Debug builds abort when called off the main loop's thread while that loop runs.
    void AssertLoopThread() const;

private:
    void DoStopServer();
    // Schedules a timer of this node; -1 when it cannot be.
    long ScheduleTimer(int timerId, const ACE_Time_Value& interval);
    void CancelTimers();

    ACE_Reactor* const reactor_;
    ServerNodeListener quietListener_;  // hears nothing: the host gave no listener
    ServerNodeListener& listener_;
    const bool saveOnChange_;
    std::atomic<bool> started_{false};
    std::string startError_;
    ACE_Time_Value timerInterval_;
    long keepAliveTimerId_ = -1;
    long housekeepingTimerId_ = -1;
    Acceptor acceptor_;
    Acceptor tlsAcceptor_;
    std::shared_ptr<const TlsContext> tlsContext_;
    int handshakeSeconds_ = DEFAULT_HANDSHAKE_TIMEOUT_SECONDS;
    PacketHandler packetHandler_;

    // The parts, each after those it uses (docs/architecture.md draws the graph).
    ServerStatistics statistics_;
    CommandRate commandRate_;
    UserRegistry users_;
    ChannelTree tree_;
    ServerProperties properties_;
    AdminAccount admin_;
    FloodLimits limits_;
    BanTable bans_;
    Broadcaster broadcast_;
    DepartureNews departures_;
    FileStore files_;
    TransferTable transfers_;
    TextMessages messages_;
    VoiceRelay voice_;
    ChannelService channels_;
    UserSessions sessions_;
    OutputLimit output_;
    OutputPolicy outputPolicy_;
    CommandTable commands_;
    const UserLinks userLinks_;
    HeapTrimmer heap_;
};

}  // namespace server
}  // namespace quorvane

#endif
