// ServerNode: construction, start and stop, connections, user ids, login and logout.
#include "server/ServerNode.h"

#include <ace/Guard_T.h>
#include <ace/Manual_Event.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Reactor.h>

#include "network/ReactorThread.h"
#include "network/StreamHandler.h"
#include "network/TimerHandler.h"
#include "protocol/ErrorCodes.h"
#include "protocol/PasswordCompare.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

namespace {

// Runs one call on a reactor's loop thread and lets the caller wait for it.
class LoopCall : public ACE_Event_Handler {
public:
    explicit LoopCall(ServerNode& node, void (ServerNode::*call)()) : node_(node), call_(call) {}

    int handle_exception(ACE_HANDLE) override {
        (node_.*call_)();
        done_.signal();
        return 0;
    }

    // Waits until the call ran, or until no other thread runs the loop any more (then
    // nobody will run it and the caller may do the work itself). True when it ran.
    bool Wait(ACE_Reactor* reactor) {
        for (;;) {
            ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(0, 100000);
            if (done_.wait(&deadline) == 0) return true;
            if (!ReactorThread::LoopRunsElsewhere(reactor)) {
                reactor->purge_pending_notifications(this);
                return done_.wait(&ACE_Time_Value::zero) == 0;
            }
        }
    }

private:
    ServerNode& node_;
    void (ServerNode::*call_)();
    ACE_Manual_Event done_;
};

}  // namespace

ServerNode::ServerNode(ACE_Reactor* reactor, ACE_Reactor* voiceReactor, ServerNodeListener* listener,
                       bool saveOnChange)
    : started_(false),
      lastUserId_(0),
      maxUsers_(DEFAULT_MAX_USERS),
      acceptor_(reactor),
      packetHandler_(voiceReactor),
      rootChannel_(std::make_shared<ServerChannel>()),
      allowChannelCreation_(true),
      allowOperators_(true),
      channelDiskQuota_(0),
      timerId_(-1),
      reactor_(reactor),
      voiceBytesSent_(0),
      voiceBytesReceived_(0),
      usersPeak_(0),
      usersServed_(0),
      listener_(listener),
      saveOnChange_(saveOnChange),
      timerInterval_(KEEPALIVE_INTERVAL_SECONDS),
      voiceRoutes_(MAX_USER_ID),
      lastTransferId_(0),
      maxChannels_(DEFAULT_MAX_CHANNELS),
      loginTimerId_(-1) {
    rootChannel_->SetStaticChannel(true);
    if (listener_) listener_->OnChannelCreated(rootChannel_);
}

ServerNode::~ServerNode() {
    StopServer();
    // Users whose connection close was still pending must not call back into a dead node.
    for (users_t::iterator it = users_.begin(); it != users_.end(); ++it) it->second->Detach();
    users_.clear();
    rootChannel_->DetachTree();
}

void ServerNode::SetAdminAccount(const std::string& username, const std::string& password) {
    adminUsername_ = username;
    adminPassword_ = password;
}

void ServerNode::SetRootDiskQuota(int64_t quota) {
    NodeGuard guard(lock_);
    rootChannel_->SetMaxDiskUsage(quota);
    SendUpdateChannelToAll(rootChannel_);
}

int64_t ServerNode::GetRootDiskQuota() const { return rootChannel_->GetMaxDiskUsage(); }

bool ServerNode::StartServer(int tcpPort, int udpPort, ACE_UINT32 address) {
    if (IsStarted() || tcpPort == 0 || udpPort == 0) return false;
    {
        NodeGuard guard(lock_);
        const bool tcpOpen = acceptor_.Open(ACE_INET_Addr(static_cast<u_short>(tcpPort), address)) == 0;
        const bool udpOpen = packetHandler_.Open(ACE_INET_Addr(static_cast<u_short>(udpPort), address));
        if (!tcpOpen || !udpOpen) {
            if (tcpOpen) acceptor_.close();
            if (udpOpen) packetHandler_.Close();
            return false;
        }
        acceptor_.SetListener(this);
    }
    // Outside the node's lock: a delivery holds the handler's listener lock and then
    // takes ours, so taking them the other way round could deadlock.
    packetHandler_.AddListener(this);
    {
        NodeGuard guard(lock_);
        startError_.clear();
        TimerHandler* keepAlive = new TimerHandler(this, KEEPALIVE_TIMER_ID);
        timerId_ = reactor_->schedule_timer(keepAlive, 0, timerInterval_, timerInterval_);
        if (timerId_ == -1) keepAlive->handle_close(ACE_INVALID_HANDLE, 0);  // frees it
        // Without its timers the server would never drop a dead, idle or silent connection.
        if (timerId_ != -1 && StartLimitTimer()) {
            started_ = true;
            startTime_ = ACE_OS::gettimeofday();
            return true;
        }
        startError_ = "Unable to schedule the timers of the server.";
        if (timerId_ != -1) reactor_->cancel_timer(timerId_, 0, 0);
        timerId_ = -1;
        StopLimitTimer();
        acceptor_.SetListener(0);
        acceptor_.close();
    }
    packetHandler_.RemoveListener(this);
    packetHandler_.Close();
    return false;
}

bool ServerNode::IsStarted() { return ReadLocked(started_); }

bool ServerNode::StopServer() {
    if (!IsStarted()) return false;
    // Connections may only be closed on the main loop's thread; when that loop runs
    // elsewhere, hand the work over and wait for it.
    if (ReactorThread::LoopRunsElsewhere(reactor_)) {
        LoopCall call(*this, &ServerNode::DoStopServer);
        if (reactor_->notify(&call, ACE_Event_Handler::EXCEPT_MASK) == 0 && call.Wait(reactor_)) return true;
    }
    DoStopServer();
    return true;
}

void ServerNode::DoStopServer() {
    {
        NodeGuard guard(lock_);
        if (!started_) return;
        if (saveOnChange_ && listener_) listener_->OnSaveConfiguration(*this);
        if (timerId_ != -1) {
            // With its close callback, so the timer handler frees itself.
            reactor_->cancel_timer(timerId_, 0, 0);
            timerId_ = -1;
        }
        StopLimitTimer();
        const users_t users = users_;
        for (users_t::const_iterator it = users.begin(); it != users.end(); ++it) {
            it->second->SetLoggedIn(false);
            it->second->Disconnect();
        }
        // A user without a connection has nothing that would report its end.
        const users_t left = users_;
        for (users_t::const_iterator it = left.begin(); it != left.end(); ++it)
            if (it->second->GetConnection() == 0) UserDisconnected(it->first);
    }
    acceptor_.SetListener(0);
    acceptor_.close();
    packetHandler_.RemoveListener(this);
    packetHandler_.Close();

    NodeGuard guard(lock_);
    usersServed_ = 0;
    usersPeak_ = 0;
    voiceBytesReceived_.store(0);
    voiceBytesSent_.store(0);
    started_ = false;
}

int ServerNode::GetTcpPort() const {
    ACE_INET_Addr local;
    if (const_cast<Acceptor&>(acceptor_).acceptor().get_local_addr(local) != 0) return 0;
    return local.get_port_number();
}

int ServerNode::GetUdpPort() const {
    ACE_INET_Addr local;
    if (const_cast<PacketHandler&>(packetHandler_).GetSocket().get_local_addr(local) != 0) return 0;
    return local.get_port_number();
}

void ServerNode::OnNewConnection(StreamHandler* handler) {
    serveruser_t user;
    {
        NodeGuard guard(lock_);
        const int userId = GetNewUserID();
        // No id is free (a connection without a user could never do anything), or its
        // address already holds all the connections it may.
        if (userId == 0 || !AdmitConnection(userId, handler)) {
            handler->close();
            return;
        }
        user = std::make_shared<ServerUser>(userId, this, handler->get_handle());
        users_[userId] = user;
        everyUserStale_ = true;
        voiceRoutes_.Set(userId, user->GetVoiceEndpoint());
        user->SetInactiveSeconds(0);
        user->SendWelcome(serverName_, motd_, allowChannelCreation_, allowOperators_);
    }
    // Attached outside our lock, as every call into a handler from a listener's side is
    // kept out of it. Nothing can arrive in between: this runs on the loop thread that
    // would deliver it.
    handler->SetListener(user.get());
    if (listener_) {
        ACE_INET_Addr peer;
        handler->peer().get_remote_addr(peer);
        listener_->OnUserConnected(user, peer);
    }
}

serveruser_t ServerNode::GetUser(int userId) {
    NodeGuard guard(lock_);
    users_t::const_iterator it = users_.find(userId);
    return it == users_.end() ? serveruser_t() : it->second;
}

int ServerNode::GetNewUserID() {
    NodeGuard guard(lock_);
    bool wrapped = false;
    for (;;) {
        const int candidate = ++lastUserId_;
        if (candidate <= MAX_USER_ID) {
            if (users_.find(candidate) == users_.end()) return candidate;
            continue;
        }
        if (wrapped) {
            lastUserId_ = 0;
            return 0;
        }
        wrapped = true;
        lastUserId_ = 1;
    }
}

// Only the connections that ever logged in as administrator are looked at: joins and
// leaves ask for this, and walking every user there would cost users squared.
std::vector<serveruser_t> ServerNode::GetLoggedInAdmins() {
    NodeGuard guard(lock_);
    std::vector<serveruser_t> admins;
    for (std::set<int>::const_iterator it = admins_.begin(); it != admins_.end(); ++it) {
        users_t::const_iterator user = users_.find(*it);
        if (user != users_.end() && user->second->IsAdmin() && user->second->IsLoggedIn()) admins.push_back(user->second);
    }
    return admins;
}

int ServerNode::UserLogin(int userId, const std::string& password) {
    serveruser_t user;
    {
        NodeGuard guard(lock_);
        users_t::const_iterator found = users_.find(userId);
        if (found == users_.end()) return ERR_USER_NOT_FOUND;
        user = found->second;
        const int users = countedUsers_.load(std::memory_order_relaxed) + 1;  // administrators never count; the candidate does
        if (users > maxUsers_) return ERR_MAX_USERS_EXCEEDED;
        if (IsBanned(user->GetIpAddress())) return ERR_SERVER_BANNED;
        if (!CheckPassword(user, password, serverPassword_)) return ERR_INCORRECT_SERVER_PASSWORD;

        user->SendAccepted();
        user->SetLoggedIn(true);
        user->SendChannels(rootChannel_);
        if (users > usersPeak_) usersPeak_ = users;
        ++usersServed_;
    }
    if (listener_) listener_->OnUserLoggedIn(user);
    return ERR_SUCCESS;
}

int ServerNode::UserLogout(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = user->GetChannel();
    if (channel) {
        const int result = UserLeaveChannel(channel->GetChannelPath(), userId);
        if (result != ERR_SUCCESS) return result;
    }
    user->SendLoggedOut();
    user->SetLoggedIn(false);
    user->SetAdmin(false);
    return ERR_SUCCESS;
}

int ServerNode::UserUpdate(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    const serverchannel_t channel = user->GetChannel();
    if (channel) channel->NotifyUserUpdate(user);
    return ERR_SUCCESS;
}

void ServerNode::UserLagging(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (user && listener_) listener_->OnUserLagging(user);
}

void ServerNode::UserDisconnected(int userId) {
    NodeGuard guard(lock_);
    const serveruser_t user = GetUser(userId);
    if (!user) return;
    if (listener_) listener_->OnUserDisconnected(user);

    // From here on the voice path neither hears nor reaches this user.
    voiceRoutes_.Set(userId, voiceendpoint_t());
    user->SetLoggedIn(false);
    user->ClearUdpAddress();
    const serverchannel_t channel = user->GetChannel();
    if (channel) {
        UserLeaveChannel(channel->GetChannelPath(), userId);
        RemoveEmptyChannels(channel);
    }
    RemoveEmptyChannels(user->TakeLeftChannel());

    // Operator rights belong to the connection: drop them in the channels the user was
    // made operator of (not by walking every channel: a mass disconnection would cost
    // users times channels).
    const std::vector<serverchannel_t> operated = user->TakeOperatorChannels();
    for (size_t i = 0; i < operated.size(); ++i) {
        if (!operated[i]->IsOperator(userId)) continue;
        operated[i]->RemoveOperator(userId, false);
        if (FindChannelByPath(rootChannel_, operated[i]->GetChannelPath()) == operated[i])
            SendUpdateChannelToAll(operated[i]);
    }

    user->SetChannel(serverchannel_t());
    DropTransfer(user);
    flood_.ConnectionClosed(userId);
    admins_.erase(userId);
    users_.erase(userId);
    everyUserStale_ = true;
}

const std::vector<ServerUser*>& ServerNode::EveryUser() {
    if (everyUserStale_) {
        everyUser_.clear();
        for (users_t::const_iterator it = users_.begin(); it != users_.end(); ++it) everyUser_.push_back(it->second.get());
        everyUserStale_ = false;
    }
    return everyUser_;
}

}  // namespace server
}  // namespace quorvane
