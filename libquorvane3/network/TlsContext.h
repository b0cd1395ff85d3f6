// The server's side of TLS: an OpenSSL context with the certificate chain and private key
// of two PEM files, TLS 1.2 at least, no renegotiation, no session resumption. A reload
// builds a new context and hands it to the acceptor; each session keeps a reference to
// the context it was made from, so connections made before a reload go on unchanged.
//
// Threads: Load on any thread; a loaded context is read-only and NewSession may be called
// on any thread (OpenSSL locks the context's reference count).
#ifndef QUORVANE_NETWORK_TLSCONTEXT_H
#define QUORVANE_NETWORK_TLSCONTEXT_H

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

class TlsContext {
public:
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // The context of the chain in certificateFile (the server's certificate first) and
    // the key in keyFile; null with why ("certificate-file /etc/x.pem: No such file or
    // directory", "privatekey-file ...: it does not match the certificate") otherwise.
    static std::shared_ptr<TlsContext> Load(const std::string& certificateFile, const std::string& keyFile,
                                            std::string& error);

    // A new server session of this context; null when OpenSSL has no memory.
    SSL* NewSession() const;
    // The certificate's subject and end of validity, for the log ("CN=example.org, valid
    // until Mar  1 12:00:00 2027 GMT").
    const std::string& Describe() const { return description_; }

    // Whether the client of the session began a renegotiation, which the transport
    // answers by closing the connection.
    static bool Renegotiated(const SSL* session);

    // The text of OpenSSL's first queued error, or fallback; clears the queue of the
    // calling thread, so that one failure never shows up in the next one's text.
    static std::string TakeError(const std::string& fallback);

private:
    explicit TlsContext(SSL_CTX* context) : context_(context) {}

    SSL_CTX* const context_;
    std::string description_;
};

#endif
