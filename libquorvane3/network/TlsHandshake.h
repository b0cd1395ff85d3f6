// One TLS handshake of an accepted connection, on the loop, never waiting: it watches the
// socket for what OpenSSL wants next (read or write) and gives up at its deadline. The
// connection's StreamHandler is opened only once the handshake is done, so the welcome
// line is the first thing sent inside TLS, and a client that sends plain text, a broken
// handshake or nothing at all costs the loop no more than a read.
//
// Lifetime: made with new and started; it removes itself from the reactor when done and
// tells its listener on a later turn (a notification), never inside its own I/O callback,
// then deletes itself. Abort ends it at once, without a word to the listener.
//
// Threads: the reactor's loop thread.
#ifndef QUORVANE_NETWORK_TLSHANDSHAKE_H
#define QUORVANE_NETWORK_TLSHANDSHAKE_H

#include <ace/Event_Handler.h>
#include <ace/Time_Value.h>

typedef struct ssl_st SSL;

class TlsHandshake : public ACE_Event_Handler {
public:
    enum Outcome { PENDING, DONE, FAILED, TIMED_OUT };

    class Listener {
    public:
        // The handshake of the connection tag ended. With DONE, session is the
        // connection's TLS session, which the listener takes over; otherwise null.
        virtual void OnHandshakeEnded(TlsHandshake& handshake, Outcome outcome, SSL* session, void* tag) = 0;

    protected:
        ~Listener() = default;
    };

    // Takes over session; socket stays the caller's (it must be non-blocking).
    TlsHandshake(ACE_Reactor* reactor, SSL* session, ACE_HANDLE socket, Listener& listener, void* tag);

    // Registers for the client's first bytes and arms the deadline; false (and nothing
    // registered) when the reactor refuses: the caller deletes it then.
    bool Start(const ACE_Time_Value& deadline);
    // Ends it now (the server stops): no listener call; deletes this.
    void Abort();
    void* Tag() const { return tag_; }

    ACE_HANDLE get_handle() const override { return socket_; }
    int handle_input(ACE_HANDLE) override { return Step(); }
    int handle_output(ACE_HANDLE) override { return Step(); }
    int handle_timeout(const ACE_Time_Value&, const void*) override;
    int handle_exception(ACE_HANDLE) override;

private:
    ~TlsHandshake() override;

    // Goes on with the handshake as far as the socket allows.
    int Step();
    // Leaves the reactor and asks for the notification that tells the listener.
    void Finish(Outcome outcome);

    SSL* session_;
    const ACE_HANDLE socket_;
    Listener& listener_;
    void* const tag_;
    Outcome outcome_ = PENDING;
    bool registered_ = false;
    bool told_ = false;
    ACE_Reactor_Mask waitingFor_ = 0;
};

#endif
