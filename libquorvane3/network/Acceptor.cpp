#include "network/Acceptor.h"

#include <climits>
#include <new>

#include <ace/Log_Msg.h>

namespace {

// The kernel caps the backlog at its own limit (net.core.somaxconn, often above
// SOMAXCONN), so asking for the largest value gets the largest queue the system allows.
const int LISTEN_BACKLOG = INT_MAX;

}  // namespace

Acceptor::Acceptor(ACE_Reactor* reactor)
    : Base(reactor, 1 /* use_select: keep accepting while connections are pending */),
      listener_(0),
      homeReactor_(reactor) {}

void Acceptor::SetListener(AcceptListener* listener) {
    listener_ = listener;
}

// The same steps as the template's open, which has no way to pass a backlog and would
// listen with ACE's default of 5.
int Acceptor::Open(const ACE_INET_Addr& address) {
    ACE_Reactor* const reactor = homeReactor_;
    if (reactor == 0 || get_handle() != ACE_INVALID_HANDLE) {
        errno = EINVAL;
        return -1;
    }
    flags_ = ACE_NONBLOCK;
    use_select_ = 1;
    reuse_addr_ = 1;
    peer_acceptor_addr_ = address;
    if (peer_acceptor_.open(address, reuse_addr_, PF_UNSPEC, LISTEN_BACKLOG) == -1) {
        return -1;
    }
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
    if (handler == 0) {
        handler = new (std::nothrow) StreamHandler(reactor());
        if (handler == 0) {
            return -1;
        }
    }
    handler->reactor(reactor());
    return 0;
}

// The base closes the handler when it cannot be made non-blocking or opened, so only a
// fully opened connection reaches the listener.
int Acceptor::activate_svc_handler(StreamHandler* handler) {
    const int result = Base::activate_svc_handler(handler);
    if (result != -1 && listener_ != 0) {
        listener_->OnNewConnection(handler);
    }
    return result;
}
