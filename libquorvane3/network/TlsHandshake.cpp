#include "network/TlsHandshake.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <utility>

#include <ace/Reactor.h>

#include "network/ReactorThread.h"

TlsHandshake::TlsHandshake(ACE_Reactor* reactor, SSL* session, ACE_HANDLE socket, Listener& listener, void* tag)
    : ACE_Event_Handler(reactor), session_(session), socket_(socket), listener_(listener), tag_(tag) {}

TlsHandshake::~TlsHandshake() { SSL_free(session_); }

bool TlsHandshake::Start(const ACE_Time_Value& deadline) {
    ReactorThread::AssertLoopThread(reactor());
    if (SSL_set_fd(session_, socket_) != 1) {
        ERR_clear_error();
        return false;
    }
    SSL_set_accept_state(session_);
    waitingFor_ = ACE_Event_Handler::READ_MASK;
    if (reactor()->register_handler(this, waitingFor_) == -1) return false;
    registered_ = true;
    if (reactor()->schedule_timer(this, 0, deadline) == -1) {
        reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        registered_ = false;
        return false;
    }
    return true;
}

int TlsHandshake::Step() {
    if (outcome_ != PENDING) return 0;
    ERR_clear_error();
    const int result = SSL_do_handshake(session_);
    if (result == 1 && !SSL_is_init_finished(session_)) return 0;
    if (result == 1) {
        Finish(DONE);
        return 0;
    }
    ACE_Reactor_Mask wanted = 0;
    switch (SSL_get_error(session_, result)) {
    case SSL_ERROR_WANT_READ: wanted = ACE_Event_Handler::READ_MASK; break;
    case SSL_ERROR_WANT_WRITE: wanted = ACE_Event_Handler::WRITE_MASK; break;
    default:
        // Plain text, a protocol below TLS 1.2, a broken record, a reset.
        ERR_clear_error();
        Finish(FAILED);
        return 0;
    }
    // Never an empty mask: the epoll reactor cannot remove a handler without events.
    if (wanted != waitingFor_ && reactor()->mask_ops(this, wanted, ACE_Reactor::SET_MASK) != -1) waitingFor_ = wanted;
    return 0;
}

int TlsHandshake::handle_timeout(const ACE_Time_Value&, const void*) {
    if (outcome_ == PENDING) Finish(TIMED_OUT);
    return 0;
}

void TlsHandshake::Finish(Outcome outcome) {
    outcome_ = outcome;
    reactor()->cancel_timer(this, 1);
    if (registered_) {
        reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        registered_ = false;
    }
    // The listener reopens the socket in another handler: not from inside our own upcall.
    if (reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK) == -1) handle_exception(ACE_INVALID_HANDLE);
}

// The notification of Finish: the listener hears, then the reactor calls handle_close.
int TlsHandshake::handle_exception(ACE_HANDLE) {
    if (told_) return 0;
    told_ = true;
    SSL* session = nullptr;
    if (outcome_ == DONE) std::swap(session, session_);
    listener_.OnHandshakeEnded(*this, outcome_, session, tag_);
    delete this;
    return 0;
}

void TlsHandshake::Abort() {
    ReactorThread::AssertLoopThread(reactor());
    reactor()->cancel_timer(this, 1);
    if (registered_) reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
    reactor()->purge_pending_notifications(this);
    delete this;
}
