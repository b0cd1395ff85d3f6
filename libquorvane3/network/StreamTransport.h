// How a connection's bytes cross the wire, below its queue: the plain socket
// (SocketTransport), or a layer that enciphers over it. The output queue hands the
// transport the iovecs of its head and learns how much it took; the reader asks it for
// bytes. Neither call ever waits.
//
// Threads: the connection's loop thread.
#ifndef QUORVANE_NETWORK_STREAMTRANSPORT_H
#define QUORVANE_NETWORK_STREAMTRANSPORT_H

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

class StreamTransport {
public:
    virtual ~StreamTransport() = default;

    // Takes what it can of the pieces now: the bytes taken, or -1 with errno set (EAGAIN
    // or EWOULDBLOCK when nothing could be taken now).
    virtual ssize_t Write(const iovec* pieces, int count) = 0;
    // Reads at most size bytes: the bytes read, 0 at the end of the stream, -1 with errno.
    virtual ssize_t Read(char* buffer, size_t size) = 0;
};

#endif
