// A connection's bytes inside TLS, after its handshake (TlsHandshake): the output queue's
// pieces are gathered into records of up to 16 KiB and enciphered onto the socket, input
// is read and deciphered from it. Neither call waits.
//
// A record OpenSSL could not send whole stays in OpenSSL, and its plaintext in stage_: the
// write reports those bytes as not taken, so the queue offers them again at the head of
// the next write, which retries the record before it stages more.
//
// A read deciphers whole records only while the caller's buffer has room for a whole one,
// so no plaintext is ever left inside OpenSSL where no readable event would come for it:
// what is not read yet is still in the socket. Callers ask for at least RECORD_BYTES.
//
// A client that begins a renegotiation (TLS 1.2) makes the next read fail; the
// connection is closed. No close_notify is sent: the socket may be closed already when the
// transport goes, and its descriptor reused.
//
// Threads: the connection's loop thread.
#ifndef QUORVANE_NETWORK_TLSTRANSPORT_H
#define QUORVANE_NETWORK_TLSTRANSPORT_H

#include "network/StreamTransport.h"

typedef struct ssl_st SSL;

class TlsTransport : public StreamTransport {
public:
    enum { RECORD_BYTES = 16384 };  // the most plaintext one TLS record holds

    // Takes over session, whose handshake is done on the connection's socket.
    explicit TlsTransport(SSL* session) : session_(session) {}
    ~TlsTransport() override;
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    ssize_t Write(const iovec* pieces, int count) override;
    ssize_t Read(char* buffer, size_t size) override;

private:
    // What SSL_write or SSL_read answered, as -1 with errno (EAGAIN when it must wait).
    ssize_t Failed(int result);

    SSL* const session_;
    char stage_[RECORD_BYTES];
    size_t staged_ = 0;  // plaintext of a record whose write has to be retried
};

#endif
