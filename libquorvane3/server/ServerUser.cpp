// ServerUser: construction, connection lifecycle and the receive path.
#include "server/ServerUser.h"

#include <chrono>

#include <ace/Reactor.h>

#include "network/SharedLine.h"
#include "network/StreamHandler.h"
#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/ServerChannel.h"
#include "server/ServerNode.h"
#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

namespace {

// Holds the owner's lock when there is an owner (tests drive users without one).
class NodeLock {
public:
    explicit NodeLock(ServerNode* node) : lock_(node ? &node->GetLock() : 0) {
        if (lock_) lock_->acquire();
    }
    ~NodeLock() {
        if (lock_) lock_->release();
    }

private:
    ACE_Recursive_Thread_Mutex* lock_;
};

// The IPv4 address (host order) the connection comes from; 0 when it has none.
uint32_t PeerAddress(ACE_HANDLE connection) {
    sockaddr_in peer;
    socklen_t size = sizeof peer;
    if (connection == ACE_INVALID_HANDLE || getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        peer.sin_family != AF_INET)
        return 0;
    return ntohl(peer.sin_addr.s_addr);
}

}  // namespace

ServerUser::ServerUser(int userId, ServerNode* owner, ACE_HANDLE connection)
    : User(userId),
      owner_(owner),
      loggedIn_(false),
      connection_(connection),
      voice_(std::make_shared<VoiceEndpoint>(userId, PeerAddress(connection))),
      inactiveSeconds_(0),
      admin_(false),
      fileTransferActive_(false),
      transferIsUpload_(false),
      transferId_(0),
      transferSize_(0) {}

// An upload cut short by the node going away is deleted like any other.
ServerUser::~ServerUser() { CloseTransfer(); }

serverchannel_t ServerUser::GetChannel() const { return channel_.lock(); }

void ServerUser::SetChannel(const serverchannel_t& channel) {
    channel_ = channel;
    voice_->SetChannel(channel ? channel->GetVoiceChannel() : std::shared_ptr<VoiceChannel>());
}

void ServerUser::AddOperatorChannel(const serverchannel_t& channel) {
    for (size_t i = 0; i < operatorOf_.size(); ++i)
        if (operatorOf_[i].lock() == channel) return;
    operatorOf_.push_back(channel);
}

std::vector<serverchannel_t> ServerUser::TakeOperatorChannels() {
    std::vector<serverchannel_t> channels;
    for (size_t i = 0; i < operatorOf_.size(); ++i)
        if (const serverchannel_t channel = operatorOf_[i].lock()) channels.push_back(channel);
    operatorOf_.clear();
    return channels;
}

void ServerUser::SetLoggedIn(bool value) {
    SetFlags(value, admin_);
    voice_->SetLoggedIn(value);
}

void ServerUser::SetAdmin(bool value) { SetFlags(loggedIn_, value); }

void ServerUser::SetFlags(bool loggedIn, bool admin) {
    const bool counted = Counted();
    loggedIn_ = loggedIn;
    admin_ = admin;
    if (owner_ && counted != Counted()) owner_->CountUser(counted ? -1 : 1);
}

void ServerUser::SetUdpAddress(const ACE_INET_Addr& address) {
    voice_->SetAddress(address.get_ip_address(), address.get_port_number());
}

const ACE_INET_Addr& ServerUser::GetUdpAddress() const {
    sockaddr_in address;
    if (voice_->GetAddress(address))
        udpAddressRead_.set(&address, sizeof address);
    else
        udpAddressRead_.set(static_cast<u_short>(0), static_cast<ACE_UINT32>(INADDR_ANY));
    return udpAddressRead_;
}

void ServerUser::SetLeftChannel(const serverchannel_t& channel) { leftChannel_ = channel; }

serverchannel_t ServerUser::TakeLeftChannel() {
    const serverchannel_t channel = leftChannel_.lock();
    leftChannel_.reset();
    return channel;
}

std::string ServerUser::GetIpAddress() const {
    char text[INET_ADDRSTRLEN + 1] = {0};
    if (!GetUdpAddress().get_host_addr(text, sizeof(text))) return "0.0.0.0";
    return text;
}

// Looked up in the reactor once and kept: a broadcast to thousands of users would
// otherwise pay the reactor's lock and lookup per receiver. The handler tells us before it
// goes (OnStreamClosed), and Detach forgets it.
StreamHandler* ServerUser::FindStreamHandler() const {
    if (connection_ == 0 || connection_ == ACE_INVALID_HANDLE || !owner_) return 0;
    if (StreamHandler* known = stream_.load(std::memory_order_relaxed)) return known;
    ACE_Reactor* reactor = owner_->GetReactor();
    ACE_Event_Handler* handler = 0;
    // Any mask: a connection whose input waits is registered for no event at the time.
    if (!reactor || reactor->handler(connection_, ACE_Event_Handler::NULL_MASK, &handler) != 0 || !handler)
        return 0;
    // The lookup adds a reference when the handler counts them; we only use the
    // pointer on this thread, where the handler cannot go away under us.
    handler->remove_reference();
    StreamHandler* const stream = dynamic_cast<StreamHandler*>(handler);
    stream_.store(stream, std::memory_order_relaxed);
    return stream;
}

void ServerUser::Disconnect() {
    StreamHandler* handler = FindStreamHandler();
    if (!handler) return;
    voice_->ClearAddress();
    SetLoggedIn(false);
    handler->close();
}

void ServerUser::Detach() {
    StreamHandler* handler = FindStreamHandler();
    if (handler) handler->SetListener(0);
    stream_.store(0, std::memory_order_relaxed);
    connection_ = 0;
    if (owner_ && Counted()) owner_->CountUser(-1);
    owner_ = 0;
}

void ServerUser::OnStreamOpened() {}

void ServerUser::OnStreamClosed() {
    // The node may drop the last reference to us while it handles the disconnection.
    const std::shared_ptr<ServerUser> self = weak_from_this().lock();
    stream_.store(0, std::memory_order_relaxed);
    connection_ = 0;
    if (owner_) owner_->UserDisconnected(GetUserID());
}

void ServerUser::OnStreamData(const char* data, ssize_t length, bool& keepOpen) {
    if (length <= 0) return;
    // A command may end this user's registration; stay alive until we return.
    const std::shared_ptr<ServerUser> self = weak_from_this().lock();
    // File data is written without the node's lock; the transfer fields belong to this
    // thread alone.
    if (IsUploading()) {
        ReceiveFileData(data, static_cast<size_t>(length), keepOpen);
        return;
    }
    lineBuffer_.append(data, static_cast<size_t>(length));
    ProcessLines(keepOpen, true);
}

void ServerUser::OnStreamResume(bool& keepOpen) {
    const std::shared_ptr<ServerUser> self = weak_from_this().lock();
    ProcessLines(keepOpen, false);
}

// Each byte is searched for LF once, however the line arrives; each command holds the
// node's lock on its own, and a turn handles a bounded number of them.
void ServerUser::ProcessLines(bool& keepOpen, bool onRead) {
    pendingInput_ = false;
    const std::chrono::steady_clock::time_point turnEnds =
        std::chrono::steady_clock::now() + std::chrono::microseconds(TURN_MICROSECONDS);
    for (int handled = 0;; ++handled) {
        const size_t lf = lineBuffer_.find('\n', scanFrom_);
        if (lf == std::string::npos) {
            scanFrom_ = lineBuffer_.size();
            break;
        }
        if (handled == COMMANDS_PER_TURN || (handled > 0 && std::chrono::steady_clock::now() >= turnEnds) ||
            (onRead && !AnswersOnRead(lineBuffer_, lineStart_, lf))) {
            scanFrom_ = lf;
            pendingInput_ = true;
            break;
        }
        const std::string line = lineBuffer_.substr(lineStart_, lf + 1 - lineStart_);
        lineStart_ = scanFrom_ = lf + 1;
        {
            NodeLock guard(owner_);
            inCommand_ = true;
            ProcessCommand(line, keepOpen);
            inCommand_ = false;
        }
        if (!keepOpen) return;
        if (IsUploading()) {
            // Whatever followed "sendfile" is the file's first bytes.
            const std::string rest = lineBuffer_.substr(lineStart_);
            lineBuffer_.clear();
            lineStart_ = scanFrom_ = 0;
            if (!rest.empty()) ReceiveFileData(rest.data(), rest.size(), keepOpen);
            return;
        }
    }
    lineBuffer_.erase(0, lineStart_);
    scanFrom_ -= lineStart_;
    lineStart_ = 0;
    // A line without its LF is bounded: a small one before login, one that fits any
    // command after. A client past it gets an error and is closed.
    const size_t limit = loggedIn_ ? static_cast<size_t>(MAX_LINE) : static_cast<size_t>(MAX_LINE_BEFORE_LOGIN);
    if (!pendingInput_ && lineBuffer_.size() > limit) {
        SendError(ERR_SYNTAX_ERROR);
        std::string().swap(lineBuffer_);
        scanFrom_ = 0;
        keepOpen = false;
        return;
    }
    // A burst leaves no large buffer behind for the connection's life.
    if (lineBuffer_.empty() && lineBuffer_.capacity() > static_cast<size_t>(MAX_LINE)) std::string().swap(lineBuffer_);
}

// The output queue has drained: the next part of a download may follow.
void ServerUser::OnStreamReady() {
    if (fileTransferActive_ && !transferIsUpload_) PumpDownload();
}

int ServerUser::SendLine(const std::string& line) {
    StreamHandler* handler = connection_ != 0 && !lagging_ ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->Send(line.data(), line.size(), inCommand_) : StreamHandler::SEND_CLOSED);
}

int ServerUser::SendShared(const SharedLine& line) {
    StreamHandler* handler = connection_ != 0 && !lagging_ ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->SendShared(line.Block(), inCommand_) : StreamHandler::SEND_CLOSED);
}

// A connection that cannot take a line any more is closed rather than left half served:
// it hears nothing from now on, and its close (on a later turn of the loop) takes it out
// of its channel with the usual notices.
int ServerUser::CheckSent(int result) {
    if (result != StreamHandler::SEND_FULL || lagging_) return result;
    lagging_ = true;
    SetLoggedIn(false);
    SetAdmin(false);
    if (owner_) owner_->UserLagging(GetUserID());
    if (StreamHandler* handler = FindStreamHandler()) handler->CloseLater();
    return result;
}

}  // namespace server
}  // namespace quorvane
