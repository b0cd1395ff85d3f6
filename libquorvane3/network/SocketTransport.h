// The plain socket as a connection's transport: one gathering sendmsg per write, one recv
// per read, both non-blocking.
//
// Threads: the connection's loop thread.
#ifndef QUORVANE_NETWORK_SOCKETTRANSPORT_H
#define QUORVANE_NETWORK_SOCKETTRANSPORT_H

#include <ace/SOCK_Stream.h>

#include "network/StreamTransport.h"

class SocketTransport : public StreamTransport {
public:
    // The socket may get its handle later (the acceptor sets it); it must outlive us.
    explicit SocketTransport(const ACE_SOCK_Stream& socket) : socket_(socket) {}

    ssize_t Write(const iovec* pieces, int count) override;
    ssize_t Read(char* buffer, size_t size) override;

private:
    const ACE_SOCK_Stream& socket_;
};

#endif
