// The listening TCP socket: opens a StreamHandler for every accepted connection and
// tells its listener. Runs on the main reactor's thread.
#ifndef QUORVANE_NETWORK_ACCEPTOR_H
#define QUORVANE_NETWORK_ACCEPTOR_H

#include <ace/Acceptor.h>
#include <ace/SOCK_Acceptor.h>

#include "network/AcceptListener.h"
#include "network/StreamHandler.h"

class Acceptor : public ACE_Acceptor<StreamHandler, ACE_SOCK_ACCEPTOR> {
public:
    typedef ACE_Acceptor<StreamHandler, ACE_SOCK_ACCEPTOR> Base;

    explicit Acceptor(ACE_Reactor* reactor);

    void SetListener(AcceptListener* listener);

    // Opens the listening socket (address reuse on, non-blocking accepted sockets) on the
    // constructor's reactor; may be called again after close(). Answers 0 on success,
    // -1 on failure.
    int Open(const ACE_INET_Addr& address);

protected:
    int activate_svc_handler(StreamHandler* handler) override;

private:
    // Creates the handler for the acceptor's own reactor.
    int make_svc_handler(StreamHandler*& handler) override;

    AcceptListener* listener_;
    ACE_Reactor* const homeReactor_;  // the base forgets its reactor on close; reopening needs it
};

#endif
