#include "server/ServerNode.h"

#include <chrono>

#include <ace/Reactor.h>

#include "network/ReactorThread.h"
#include "network/SnapshotReclaimer.h"
#include "network/StreamHandler.h"
#include "network/TimerHandler.h"
#include "server/LineWriter.h"

namespace quorvane {
namespace server {

namespace {

const ACE_Time_Value HOUSEKEEPING_PERIOD(1);

}  // namespace

ServerNode::ServerNode(ACE_Reactor* reactor, ACE_Reactor* voiceReactor, ServerNodeListener* listener, bool saveOnChange)
    : reactor_(reactor),
      listener_(listener ? *listener : quietListener_),
      saveOnChange_(saveOnChange),
      timerInterval_(KEEPALIVE_INTERVAL_SECONDS),
      acceptor_(reactor),
      tlsAcceptor_(reactor),
      packetHandler_(voiceReactor),
      users_(reactor, statistics_),
      tree_(reactor),
      properties_(reactor, users_, *this),
      admin_(reactor, *this),
      limits_(reactor, statistics_, users_, listener_, commandRate_),
      bans_(reactor, statistics_, limits_, users_, *this),
      broadcast_(reactor, users_),
      departures_(reactor, tree_, users_),
      files_(reactor, started_, statistics_, broadcast_, tree_, users_, listener_),
      transfers_(reactor, statistics_, files_, tree_, users_, listener_),
      messages_(reactor, users_, tree_, statistics_, transfers_, listener_),
      voice_(packetHandler_, statistics_, MAX_USER_ID),
      channels_(reactor, tree_, users_, properties_, limits_, broadcast_, departures_, transfers_, files_, statistics_,
                listener_, *this),
      sessions_(reactor, users_, properties_, admin_, bans_, limits_, channels_, tree_, transfers_, files_,
                voice_.Routes(), statistics_, listener_),
      output_(reactor, users_),
      outputPolicy_(output_),
      commands_(CommandParts{users_, sessions_, tree_, channels_, properties_, admin_, bans_, messages_, files_,
                             transfers_, statistics_, listener_, *this}),
      userLinks_(
          UserLinks{reactor, statistics_, commandRate_, commands_, sessions_, departures_, outputPolicy_, transfers_}) {
    listener_.OnChannelCreated(tree_.GetRootChannel());
}

ServerNode::~ServerNode() {
    StopServer();
    // Users whose connection close was still pending must not call back into a dead node.
    users_.DetachAll();
    tree_.GetRootChannel()->DetachTree();
}

void ServerNode::AssertLoopThread() const { ReactorThread::AssertLoopThread(reactor_); }

long ServerNode::ScheduleTimer(int timerId, const ACE_Time_Value& interval) {
    TimerHandler* handler = new TimerHandler(this, timerId);
    const long id = reactor_->schedule_timer(handler, 0, interval, interval);
    if (id == -1) handler->handle_close(ACE_INVALID_HANDLE, 0);  // frees it
    return id;
}

void ServerNode::CancelTimers() {
    // With their close callbacks, so the timer handlers free themselves.
    if (keepAliveTimerId_ != -1) reactor_->cancel_timer(keepAliveTimerId_, 0, 0);
    if (housekeepingTimerId_ != -1) reactor_->cancel_timer(housekeepingTimerId_, 0, 0);
    keepAliveTimerId_ = housekeepingTimerId_ = -1;
    limits_.Clear();
}

void ServerNode::SetTlsContext(std::shared_ptr<const TlsContext> context) {
    AssertLoopThread();
    tlsContext_ = std::move(context);
    tlsAcceptor_.UseTls(tlsContext_, ACE_Time_Value(handshakeSeconds_));
}

void ServerNode::SetHandshakeTimeout(int seconds) {
    AssertLoopThread();
    handshakeSeconds_ = seconds;
    tlsAcceptor_.UseTls(tlsContext_, ACE_Time_Value(handshakeSeconds_));
}

bool ServerNode::StartServer(int tcpPort, int udpPort, const BindAddress& where, int tlsPort) {
    AssertLoopThread();
    if (IsStarted() || tcpPort == 0 || udpPort == 0) return false;
    if (tlsPort != 0 && !tlsContext_) {
        startError_ = "The TLS port has no certificate.";
        return false;
    }
    const bool tcpOpen = acceptor_.Open(where, tcpPort) == 0;
    const bool udpOpen = packetHandler_.Open(where, udpPort);
    const bool tlsOpen = tlsPort == 0 || tlsAcceptor_.Open(where, tlsPort) == 0;
    if (!tcpOpen || !udpOpen || !tlsOpen) {
        if (tcpOpen) acceptor_.close();
        if (udpOpen) packetHandler_.Close();
        if (tlsOpen && tlsPort != 0) tlsAcceptor_.close();
        return false;
    }
    acceptor_.SetListener(this);
    tlsAcceptor_.SetListener(this);
    packetHandler_.AddListener(&voice_);
    startError_.clear();
    // Without its timers the server would never drop a dead, idle or silent connection.
    keepAliveTimerId_ = ScheduleTimer(KEEPALIVE_TIMER_ID, timerInterval_);
    housekeepingTimerId_ = keepAliveTimerId_ == -1 ? -1 : ScheduleTimer(HOUSEKEEPING_TIMER_ID, HOUSEKEEPING_PERIOD);
    if (housekeepingTimerId_ != -1) {
        statistics_.MarkStarted();
        started_.store(true, std::memory_order_release);
        return true;
    }
    startError_ = "Unable to schedule the timers of the server.";
    CancelTimers();
    acceptor_.SetListener(0);
    acceptor_.close();
    tlsAcceptor_.SetListener(0);
    tlsAcceptor_.close();
    packetHandler_.RemoveListener(&voice_);
    packetHandler_.Close();
    return false;
}

bool ServerNode::StopServer() {
    if (!IsStarted()) return false;
    // Connections may only be closed on the main loop's thread.
    ReactorThread::RunOnLoop(reactor_, [this] { DoStopServer(); });
    return true;
}

void ServerNode::DoStopServer() {
    AssertLoopThread();
    if (!IsStarted()) return;
    SaveIfSavingOnChange();
    CancelTimers();
    sessions_.DisconnectAll();
    departures_.Stop();
    acceptor_.SetListener(0);
    acceptor_.close();
    tlsAcceptor_.SetListener(0);
    tlsAcceptor_.AbortHandshakes();
    tlsAcceptor_.close();
    packetHandler_.RemoveListener(&voice_);
    packetHandler_.Close();
    statistics_.Reset();
    started_.store(false, std::memory_order_release);
}

int ServerNode::GetTcpPort() const {
    ACE_INET_Addr local;
    if (const_cast<Acceptor&>(acceptor_).acceptor().get_local_addr(local) != 0) return 0;
    return local.get_port_number();
}

int ServerNode::GetTlsPort() const {
    ACE_INET_Addr local;
    if (const_cast<Acceptor&>(tlsAcceptor_).acceptor().get_local_addr(local) != 0) return 0;
    return local.get_port_number();
}

int ServerNode::GetUdpPort() const {
    ACE_INET_Addr local;
    if (const_cast<PacketHandler&>(packetHandler_).GetSocket().get_local_addr(local) != 0) return 0;
    return local.get_port_number();
}

void ServerNode::OnNewConnection(StreamHandler* handler) {
    AssertLoopThread();
    const int userId = users_.GetNewUserID();
    // No id is free (a connection without a user could never do anything), or its
    // address already holds all the connections it may.
    if (userId == 0 || !limits_.AdmitConnection(userId, *handler)) {
        handler->close();
        return;
    }
    const serveruser_t user = std::make_shared<ServerUser>(userId, userLinks_, handler);
    users_.Add(user);
    voice_.Routes().Set(userId, user->GetVoiceEndpoint());
    user->SetInactiveSeconds(0);
    user->SendLine(properties_.WelcomeLine(userId));
    handler->SetListener(&user->Connection());
    ACE_INET_Addr peer;
    handler->peer().get_remote_addr(peer);
    listener_.OnUserConnected(user, peer);
}

bool ServerNode::OnHandshakeStarted(StreamHandler& handler) {
    AssertLoopThread();
    return limits_.AdmitHandshake(handler);
}

void ServerNode::OnHandshakeEnded(StreamHandler& handler, bool ok) {
    AssertLoopThread();
    limits_.HandshakeEnded(handler);
    if (!ok) statistics_.Add(ServerStatistics::CLOSED_TLS_HANDSHAKE);
}

void ServerNode::OnTimerExpired(int timerId) {
    AssertLoopThread();
    if (timerId == KEEPALIVE_TIMER_ID) sessions_.CheckInactivity();
    if (timerId != HOUSEKEEPING_TIMER_ID) return;
    limits_.CheckLoginTimeouts();
    transfers_.CheckTimeouts(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    heap_.Check(users_.All().size());
    // Voice snapshots retired since the last change wait for no later retirement.
    SnapshotReclaimer::Instance().Reclaim();
}

void ServerNode::UserSaveConfig(const ServerNodeListener::SaveDone& done) {
    AssertLoopThread();
    listener_.OnSaveRequested(*this, done);
}

void ServerNode::SaveIfSavingOnChange() {
    if (saveOnChange_) listener_.OnSaveConfiguration(*this);
}

void ServerNode::BansChanged() { listener_.OnBansChanged(*this); }

}  // namespace server
}  // namespace quorvane
