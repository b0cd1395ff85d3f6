#ifndef QUORVANE_NETWORK_ACCEPTLISTENER_H
#define QUORVANE_NETWORK_ACCEPTLISTENER_H

class StreamHandler;

class AcceptListener {
public:
    // Called on the main reactor's thread for every opened connection.
    virtual void OnNewConnection(StreamHandler* handler) = 0;
    // A connection of the TLS port begins its handshake: it holds a place against the
    // per-address limit like any connection until OnHandshakeEnded. False refuses it
    // (the acceptor closes it). ok tells whether the connection goes on to
    // OnNewConnection.
    virtual bool OnHandshakeStarted(StreamHandler&) { return true; }
    virtual void OnHandshakeEnded(StreamHandler&, bool /*ok*/) {}

protected:
    ~AcceptListener() = default;
};

#endif
