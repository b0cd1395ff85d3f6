#ifndef QUORVANE_NETWORK_ACCEPTLISTENER_H
#define QUORVANE_NETWORK_ACCEPTLISTENER_H

class StreamHandler;

class AcceptListener {
public:
    // Called on the main reactor's thread for every opened connection.
    virtual void OnNewConnection(StreamHandler* handler) = 0;

protected:
    ~AcceptListener() = default;
};

#endif
