#include "LineConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "Deadline.h"
#include "Resolve.h"
#include "protocol/CommandLine.h"

namespace quorvane {
namespace cli {

LineConnection::~LineConnection() { Close(); }

void LineConnection::Close() {
    SSL_free(ssl_);
    ssl_ = nullptr;
    SSL_CTX_free(context_);
    context_ = nullptr;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.clear();
}

void LineConnection::Adopt(int fd) {
    Close();
    fd_ = fd;
}

namespace {

// Connects one resolved address without blocking longer than the deadline.
int ConnectAddress(const addrinfo* ai, const Deadline& deadline, const std::string& from, std::string& error) {
    const int fd = SocketFrom(ai, from, error);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        rc = ::poll(&p, 1, deadline.RemainingMs());
        int soError = rc > 0 ? 0 : ETIMEDOUT;
        socklen_t len = sizeof(soError);
        if (rc > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        errno = soError;
        rc = soError == 0 ? 0 : -1;
    }
    if (rc != 0) {
        error = std::generic_category().message(errno);
        ::close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, flags);
    return fd;
}

}  // namespace

bool LineConnection::Connect(const std::string& host, int port, int timeoutMs, std::string& error,
                             const std::string& from) {
    Close();
    const Deadline deadline(timeoutMs);
    fd_ = OpenFirstAddress(
        host, port, SOCK_STREAM,
        [&deadline, &from](const addrinfo* ai, std::string& reason) {
            return ConnectAddress(ai, deadline, from, reason);
        },
        error);
    if (fd_ < 0) {
        error = "cannot connect to " + host + " port " + std::to_string(port) + ": " + error;
        return false;
    }
    if (tls_.on && !StartTls(host, deadline.RemainingMs(), error)) {
        error = "no TLS with " + host + " port " + std::to_string(port) + ": " + error;
        Close();
        return false;
    }
    return true;
}

bool LineConnection::AwaitTls(int result, int timeoutMs) {
    const int wanted = SSL_get_error(ssl_, result);
    if (wanted != SSL_ERROR_WANT_READ && wanted != SSL_ERROR_WANT_WRITE) return false;
    pollfd p = {fd_, static_cast<short>(wanted == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// The name is checked as an address when it is one (SSL_set1_host tells them apart), and
// sent as the server name (SNI) when it is not.
bool LineConnection::StartTls(const std::string& host, int timeoutMs, std::string& error) {
    const Deadline deadline(timeoutMs);
    ERR_clear_error();
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr) {
        error = "no memory";
        return false;
    }
    SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
    if (!tls_.insecure) {
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        const int loaded = tls_.ca.empty() ? SSL_CTX_set_default_verify_paths(context_)
                                           : SSL_CTX_load_verify_locations(context_, tls_.ca.c_str(), nullptr);
        if (loaded != 1) {
            error = "cannot read the certificates of " + (tls_.ca.empty() ? std::string("the system") : tls_.ca);
            ERR_clear_error();
            return false;
        }
    }
    ssl_ = SSL_new(context_);
    const std::string name = host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1 || (!tls_.insecure && SSL_set1_host(ssl_, name.c_str()) != 1)) {
        error = "cannot set up TLS";
        ERR_clear_error();
        return false;
    }
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(name.c_str());
    if (address == nullptr) SSL_set_tlsext_host_name(ssl_, name.c_str());
    ASN1_OCTET_STRING_free(address);
    ERR_clear_error();
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL, 0) | O_NONBLOCK);
    for (;;) {
        const int result = SSL_connect(ssl_);
        if (result == 1) return true;
        if (AwaitTls(result, deadline.RemainingMs())) continue;
        const long verified = SSL_get_verify_result(ssl_);
        error = verified != X509_V_OK
                    ? std::string("the server's certificate is refused: ") + X509_verify_cert_error_string(verified)
                : ERR_peek_error() != 0       ? std::string(ERR_reason_error_string(ERR_peek_error()))
                : deadline.RemainingMs() == 0 ? std::string("no handshake in time")
                                              : std::string("the server closed the connection");
        ERR_clear_error();
        return false;
    }
}

bool LineConnection::Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }

bool LineConnection::Send(const char* data, size_t length) {
    while (ssl_ != nullptr && length > 0) {
        ERR_clear_error();
        const int n = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(length, 1 << 20)));
        if (n <= 0) {
            if (AwaitTls(n, -1)) continue;
            ERR_clear_error();
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    while (fd_ >= 0 && length > 0) {
        const ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

LineConnection::ReadResult LineConnection::Fill(int timeoutMs) {
    if (fd_ < 0) return READ_CLOSED;
    if (ssl_ != nullptr) {
        const Deadline deadline(timeoutMs);
        char chunk[16384];
        for (;;) {
            ERR_clear_error();
            const int n = SSL_read(ssl_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, static_cast<size_t>(n));
                return READ_LINE;
            }
            const int why = SSL_get_error(ssl_, n);
            if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
                ERR_clear_error();
                return READ_CLOSED;
            }
            if (!AwaitTls(n, deadline.RemainingMs())) return READ_TIMEOUT;
        }
    }
    pollfd p = {fd_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return READ_TIMEOUT;
    char chunk[65536];
    ssize_t n;
    do {
        n = ::recv(fd_, chunk, sizeof(chunk), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return READ_CLOSED;
    buffer_.append(chunk, static_cast<size_t>(n));
    return READ_LINE;
}

bool LineConnection::HasBufferedLine() const { return buffer_.find('\n') != std::string::npos; }

LineConnection::ReadResult LineConnection::ReadLine(std::string& line, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        std::string raw, rest;
        if (SplitFirstLine(buffer_, raw, rest)) {
            buffer_.swap(rest);
            line = StripLineEnding(raw);
            if (!line.empty() && line.back() == '\n') line.pop_back();  // a lone LF
            return READ_LINE;
        }
        if (buffer_.size() > MAX_LINE) {
            Close();
            return READ_CLOSED;
        }
        const ReadResult got = Fill(deadline.RemainingMs());
        if (got != READ_LINE) return got;
    }
}

long LineConnection::ReadSome(char* data, size_t size, int timeoutMs) {
    if (buffer_.empty()) {
        const ReadResult got = Fill(timeoutMs);
        if (got == READ_TIMEOUT) return -1;
        if (got == READ_CLOSED) return 0;
    }
    const size_t n = std::min(size, buffer_.size());
    std::memcpy(data, buffer_.data(), n);
    buffer_.erase(0, n);
    return static_cast<long>(n);
}

}  // namespace cli
}  // namespace quorvane
