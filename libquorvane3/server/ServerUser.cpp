// ServerUser: construction, connection lifecycle and the receive path.
#include "server/ServerUser.h"

#include <ace/Reactor.h>

#include "network/SharedLine.h"
#include "network/StreamHandler.h"
#include "protocol/CommandLine.h"
#include "server/ServerChannel.h"
#include "server/ServerNode.h"

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

}  // namespace

ServerUser::ServerUser(int userId, ServerNode* owner, ACE_HANDLE connection)
    : User(userId),
      owner_(owner),
      loggedIn_(false),
      connection_(connection),
      udpConnected_(false),
      inactiveSeconds_(0),
      admin_(false),
      fileTransferActive_(false),
      transferIsUpload_(false),
      transferId_(0),
      transferSize_(0) {}

// An upload cut short by the node going away is deleted like any other.
ServerUser::~ServerUser() { CloseTransfer(); }

serverchannel_t ServerUser::GetChannel() const { return channel_.lock(); }

void ServerUser::SetChannel(const serverchannel_t& channel) { channel_ = channel; }

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

StreamHandler* ServerUser::FindStreamHandler() const {
    if (connection_ == 0 || connection_ == ACE_INVALID_HANDLE || !owner_) return 0;
    ACE_Reactor* reactor = owner_->GetReactor();
    ACE_Event_Handler* handler = 0;
    if (!reactor || reactor->handler(connection_, ACE_Event_Handler::READ_MASK, &handler) != 0 || !handler)
        return 0;
    // The lookup adds a reference when the handler counts them; we only use the
    // pointer on this thread, where the handler cannot go away under us.
    handler->remove_reference();
    return dynamic_cast<StreamHandler*>(handler);
}

void ServerUser::Disconnect() {
    StreamHandler* handler = FindStreamHandler();
    if (!handler) return;
    udpConnected_ = false;
    loggedIn_ = false;
    handler->close();
}

void ServerUser::Detach() {
    StreamHandler* handler = FindStreamHandler();
    if (handler) handler->SetListener(0);
    connection_ = 0;
    owner_ = 0;
}

void ServerUser::OnStreamOpened() {}

void ServerUser::OnStreamClosed() {
    // The node may drop the last reference to us while it handles the disconnection.
    const std::shared_ptr<ServerUser> self = weak_from_this().lock();
    connection_ = 0;
    if (owner_) owner_->UserDisconnected(GetUserID());
}

void ServerUser::OnStreamData(const char* data, ssize_t length, bool& keepOpen) {
    if (length <= 0) return;
    // A command may end this user's registration; stay alive until we return.
    const std::shared_ptr<ServerUser> self = weak_from_this().lock();
    // File data is written without the node's lock, which the voice path needs; the
    // transfer fields belong to this thread alone.
    if (IsUploading()) {
        ReceiveFileData(data, static_cast<size_t>(length), keepOpen);
        return;
    }
    // The voice thread updates this user's address and flags under the node's lock;
    // a command reads them, so it runs under the same lock.
    NodeLock guard(owner_);
    lineBuffer_.append(data, static_cast<size_t>(length));
    size_t start = 0;
    for (;;) {
        const size_t lf = lineBuffer_.find('\n', start);
        if (lf == std::string::npos) break;
        ProcessCommand(lineBuffer_.substr(start, lf + 1 - start), keepOpen);
        start = lf + 1;
        if (!keepOpen) return;
        if (IsUploading()) {
            // Whatever followed "sendfile" in this read is the file's first bytes.
            const std::string rest = lineBuffer_.substr(start);
            lineBuffer_.clear();
            if (!rest.empty()) ReceiveFileData(rest.data(), rest.size(), keepOpen);
            return;
        }
    }
    lineBuffer_.erase(0, start);
    // A client that never ends its line would grow the buffer without bound.
    if (lineBuffer_.size() > MAX_LINE_BUFFER) {
        lineBuffer_.clear();
        keepOpen = false;
    }
}

// The output queue has drained: the next part of a download may follow.
void ServerUser::OnStreamReady() {
    if (fileTransferActive_ && !transferIsUpload_) PumpDownload();
}

int ServerUser::SendLine(const std::string& line) {
    StreamHandler* handler = connection_ != 0 ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->Send(line.data(), line.size(), &ACE_Time_Value::zero) : -1);
}

int ServerUser::SendShared(const SharedLine& line) {
    StreamHandler* handler = connection_ != 0 ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->SendShared(line.Block(), &ACE_Time_Value::zero) : -1);
}

int ServerUser::CheckSent(int result) {
    if (result < 0) {
        loggedIn_ = false;
        admin_ = false;
    }
    return result;
}

}  // namespace server
}  // namespace quorvane
