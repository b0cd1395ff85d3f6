// The listening TCP socket: opens a StreamHandler for every accepted connection and
// tells its listener. On the TLS port (UseTls) each connection first does its handshake
// (TlsHandshake) and is opened with a TlsTransport once it is done; until then it counts
// with the listener (OnHandshakeStarted) and is not opened. Runs on the main reactor's
// thread.
#ifndef QUORVANE_NETWORK_ACCEPTOR_H
#define QUORVANE_NETWORK_ACCEPTOR_H

#include <ace/Acceptor.h>
#include <ace/SOCK_Acceptor.h>

#include <memory>
#include <set>

#include "network/AcceptListener.h"
#include "network/BindAddress.h"
#include "network/StreamHandler.h"
#include "network/TlsHandshake.h"

class TlsContext;

class Acceptor : public ACE_Acceptor<StreamHandler, ACE_SOCK_ACCEPTOR>, private TlsHandshake::Listener {
public:
    typedef ACE_Acceptor<StreamHandler, ACE_SOCK_ACCEPTOR> Base;

    explicit Acceptor(ACE_Reactor* reactor);
    ~Acceptor() override;

    void SetListener(AcceptListener* listener);

    // Opens the listening socket (address reuse on, non-blocking accepted sockets) on the
    // constructor's reactor; may be called again after close(). Answers 0 on success,
    // -1 with errno set on failure.
    int Open(const ACE_INET_Addr& address);
    int Open(const BindAddress& where, int port);

    // Makes this the TLS port's acceptor, whose new connections do their handshake with
    // the context (a reload hands in a new one; connections made keep theirs) within
    // deadline. Null context: plain again.
    void UseTls(std::shared_ptr<const TlsContext> context, const ACE_Time_Value& deadline);
    // Ends every handshake in progress, closing its connection (the server stops).
    void AbortHandshakes();
    size_t HandshakesInProgress() const { return handshakes_.size(); }

    // How many connections were refused for want of a descriptor (main loop's thread).
    unsigned long GetRefusedForDescriptors() const { return refusedForDescriptors_; }

protected:
    int activate_svc_handler(StreamHandler* handler) override;
    // Out of descriptors, the pending connection would keep the socket readable and the
    // loop spinning: the spare descriptor is given up to accept and close it.
    int handle_accept_error() override;
    // The base's accept, except that a handler whose accept failed for want of a
    // descriptor is kept for the next one rather than destroyed on every refusal.
    int accept_svc_handler(StreamHandler* handler) override;
    // Ends the pause taken when even the spare descriptor could not be had.
    int handle_timeout(const ACE_Time_Value&, const void*) override;

private:
    // Creates the handler for the acceptor's own reactor.
    int make_svc_handler(StreamHandler*& handler) override;

    void OpenSpare();
    // On the TLS port: the handler's handshake instead of its opening.
    int BeginHandshake(StreamHandler* handler);
    // The base's activation (non-blocking, open), then the listener's OnNewConnection.
    int ActivateOpened(StreamHandler* handler);
    void OnHandshakeEnded(TlsHandshake& handshake, TlsHandshake::Outcome outcome, SSL* session, void* tag) override;

    AcceptListener* listener_;
    StreamHandler* idleHandler_;  // never opened; reused by make_svc_handler
    int spare_;                   // a descriptor on /dev/null kept in reserve, -1 while it is given up
    bool paused_;
    unsigned long refusedForDescriptors_;
    ACE_Reactor* const homeReactor_;
    std::shared_ptr<const TlsContext> tls_;
    ACE_Time_Value handshakeDeadline_;
    std::set<TlsHandshake*> handshakes_;  // in progress  // the base forgets its reactor on close; reopening needs it
};

#endif
