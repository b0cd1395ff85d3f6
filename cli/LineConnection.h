// One TCP connection to the server that reads command lines and raw bytes with
// deadlines, in the clear or inside TLS (UseTls). Sockets driven by poll; used from one
// thread only.
#ifndef QUORVANE_CLI_LINECONNECTION_H
#define QUORVANE_CLI_LINECONNECTION_H

#include <cstddef>
#include <string>

#include "ClientTls.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace quorvane {
namespace cli {

class LineConnection {
public:
    // A server line longer than this is not a line of this protocol: the connection is
    // closed rather than buffered without end.
    static constexpr size_t MAX_LINE = 1 << 20;

    enum ReadResult { READ_LINE, READ_TIMEOUT, READ_CLOSED };

    LineConnection() = default;
    ~LineConnection();
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;

    // Resolves the host and connects within the time, from the numeric address from when
    // given (see SocketFrom); on failure error says why.
    bool Connect(const std::string& host, int port, int timeoutMs, std::string& error,
                 const std::string& from = std::string());
    // TLS for the next Connect (as the options say); its failures (an unknown issuer, a
    // name the certificate does not hold) fail Connect with why.
    void UseTls(const ClientTls& tls) { tls_ = tls; }
    // Takes over a connected socket (tests use socket pairs).
    void Adopt(int fd);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Writes every byte, waiting as long as the peer reads; false when the connection broke.
    bool Send(const std::string& bytes);
    bool Send(const char* data, size_t length);

    // The next line without its CR LF. READ_CLOSED also after an over-long line.
    ReadResult ReadLine(std::string& line, int timeoutMs);
    bool HasBufferedLine() const;
    // Raw bytes, the ones already buffered first: > 0 bytes read, 0 the peer closed,
    // -1 nothing came in time.
    long ReadSome(char* data, size_t size, int timeoutMs);

private:
    // Waits for readable data and appends it to the buffer: READ_LINE means "got bytes".
    ReadResult Fill(int timeoutMs);
    // The TLS handshake on the connected socket, checking as tls_ says.
    bool StartTls(const std::string& host, int timeoutMs, std::string& error);
    // Waits until OpenSSL's last call (answering result) can go on; false at the deadline
    // or on an error.
    bool AwaitTls(int result, int timeoutMs);

    int fd_ = -1;
    ClientTls tls_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string buffer_;
};

}  // namespace cli
}  // namespace quorvane

#endif
