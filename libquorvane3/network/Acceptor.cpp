#include "network/Acceptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

#include <openssl/ssl.h>

#include <ace/Log_Msg.h>

#include "network/TlsContext.h"
#include "network/TlsTransport.h"

namespace {

// The kernel caps the backlog at its own limit (net.core.somaxconn, often above
// SOMAXCONN), so asking for the largest value gets the largest queue the system allows.
const int LISTEN_BACKLOG = INT_MAX;

// How long accepting pauses when no descriptor at all can be had (the system's table is
// full); the pending connections wait in the kernel's queue meanwhile.
const ACE_Time_Value PAUSE_WHEN_NO_DESCRIPTOR(0, 100000);

}  // namespace

Acceptor::Acceptor(ACE_Reactor* reactor)
    : Base(reactor, 1 /* use_select: keep accepting while connections are pending */),
      listener_(0),
      idleHandler_(0),
      spare_(-1),
      paused_(false),
      refusedForDescriptors_(0),
      homeReactor_(reactor) {
    OpenSpare();
}

Acceptor::~Acceptor() {
    AbortHandshakes();
    if (homeReactor_ != 0) homeReactor_->cancel_timer(this);
    if (spare_ >= 0) ::close(spare_);
    if (idleHandler_ != 0) idleHandler_->destroy();
}

void Acceptor::OpenSpare() {
    if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void Acceptor::SetListener(AcceptListener* listener) { listener_ = listener; }

int Acceptor::Open(const ACE_INET_Addr& address) { return Open(BindAddress::One(address), address.get_port_number()); }

// The same steps as the template's open, which has no way to pass a backlog (it would
// listen with ACE's default of 5) nor to turn IPV6_V6ONLY off.
int Acceptor::Open(const BindAddress& where, int port) {
    ACE_Reactor* const reactor = homeReactor_;
    if (reactor == 0 || get_handle() != ACE_INVALID_HANDLE) {
        errno = EINVAL;
        return -1;
    }
    flags_ = ACE_NONBLOCK;
    use_select_ = 1;
    reuse_addr_ = 1;
    const int fd = where.Bind(SOCK_STREAM, port);
    if (fd < 0) return -1;
    if (::listen(fd, LISTEN_BACKLOG) != 0) {
        ACE_Errno_Guard error(errno);
        ::close(fd);
        return -1;
    }
    peer_acceptor_.set_handle(fd);
    peer_acceptor_.get_local_addr(peer_acceptor_addr_);
    // A connection reset between readiness and accept must not block the loop.
    peer_acceptor_.enable(ACE_NONBLOCK);
    this->reactor(reactor);  // accept events use it as soon as we are registered
    if (reactor->register_handler(this, ACE_Event_Handler::ACCEPT_MASK) == -1) {
        peer_acceptor_.close();
        return -1;
    }
    return 0;
}

int Acceptor::make_svc_handler(StreamHandler*& handler) {
    if (handler == 0 && idleHandler_ != 0) {
        handler = idleHandler_;
        idleHandler_ = 0;
    }
    if (handler == 0) {
        handler = new (std::nothrow) StreamHandler(reactor());
        if (handler == 0) {
            return -1;
        }
    }
    handler->reactor(reactor());
    return 0;
}

int Acceptor::handle_accept_error() {
    if (errno != EMFILE && errno != ENFILE) return 0;
    if (spare_ >= 0) {
        ::close(spare_);
        spare_ = -1;
        const int newcomer = ::accept4(peer_acceptor_.get_handle(), 0, 0, SOCK_CLOEXEC);
        if (newcomer >= 0) {
            ::close(newcomer);
            ++refusedForDescriptors_;
        }
        OpenSpare();
    }
    // Another process took the descriptor we gave up: rather than spin on a socket that
    // stays readable, stop watching it for a moment.
    if (spare_ < 0 && !paused_ && reactor() != 0 &&
        reactor()->schedule_timer(this, 0, PAUSE_WHEN_NO_DESCRIPTOR) != -1) {
        paused_ = true;
        reactor()->suspend_handler(this);
    }
    return 0;
}

int Acceptor::accept_svc_handler(StreamHandler* handler) {
    if (reactor() == 0) {
        errno = EINVAL;
        return -1;
    }
    if (peer_acceptor_.accept(handler->peer(), 0, 0, true, reactor()->uses_event_associations()) == 0) return 0;
    if (errno == EMFILE || errno == ENFILE) {
        if (idleHandler_ == 0) {
            idleHandler_ = handler;
            return -1;
        }
    }
    ACE_Errno_Guard error(errno);
    handler->close(CLOSE_DURING_NEW_CONNECTION);
    return -1;
}

int Acceptor::handle_timeout(const ACE_Time_Value&, const void*) {
    paused_ = false;
    OpenSpare();
    if (reactor() != 0) reactor()->resume_handler(this);
    return 0;
}

void Acceptor::UseTls(std::shared_ptr<const TlsContext> context, const ACE_Time_Value& deadline) {
    tls_ = std::move(context);
    handshakeDeadline_ = deadline;
}

void Acceptor::AbortHandshakes() {
    std::set<TlsHandshake*> pending;
    pending.swap(handshakes_);
    for (TlsHandshake* handshake : pending) {
        StreamHandler* const handler = static_cast<StreamHandler*>(handshake->Tag());
        handshake->Abort();
        if (listener_ != 0) listener_->OnHandshakeEnded(*handler, false);
        handler->close(CLOSE_DURING_NEW_CONNECTION);
    }
}

int Acceptor::BeginHandshake(StreamHandler* handler) {
    if (listener_ != 0 && !listener_->OnHandshakeStarted(*handler)) {
        handler->close(CLOSE_DURING_NEW_CONNECTION);
        return -1;
    }
    SSL* const session = tls_->NewSession();
    TlsHandshake* const handshake = session != nullptr && handler->peer().enable(ACE_NONBLOCK) == 0
                                        ? new (std::nothrow)
                                              TlsHandshake(reactor(), session, handler->get_handle(), *this, handler)
                                        : nullptr;
    if (handshake == nullptr || !handshake->Start(handshakeDeadline_)) {
        if (handshake != nullptr) handshake->Abort();  // frees the session
        else if (session != nullptr) SSL_free(session);
        if (listener_ != 0) listener_->OnHandshakeEnded(*handler, false);
        handler->close(CLOSE_DURING_NEW_CONNECTION);
        return -1;
    }
    handshakes_.insert(handshake);
    return 0;
}

// A later turn than the handshake's last I/O: the handler may take the socket now.
void Acceptor::OnHandshakeEnded(TlsHandshake& handshake, TlsHandshake::Outcome outcome, SSL* session, void* tag) {
    handshakes_.erase(&handshake);
    StreamHandler* const handler = static_cast<StreamHandler*>(tag);
    if (listener_ != 0) listener_->OnHandshakeEnded(*handler, outcome == TlsHandshake::DONE);
    if (outcome != TlsHandshake::DONE) {
        handler->close(CLOSE_DURING_NEW_CONNECTION);
        return;
    }
    handler->UseTransport(std::unique_ptr<StreamTransport>(new TlsTransport(session)));
    ActivateOpened(handler);
}

// The base closes the handler when it cannot be made non-blocking or opened, so only a
// fully opened connection reaches the listener.
int Acceptor::activate_svc_handler(StreamHandler* handler) {
    if (tls_) return BeginHandshake(handler);
    return ActivateOpened(handler);
}

int Acceptor::ActivateOpened(StreamHandler* handler) {
    const int result = Base::activate_svc_handler(handler);
    if (result != -1 && listener_ != 0) {
        listener_->OnNewConnection(handler);
    }
    return result;
}
