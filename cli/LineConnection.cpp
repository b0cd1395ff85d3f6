#include "LineConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <system_error>

#include <cerrno>
#include <cstring>

#include "Deadline.h"
#include "Resolve.h"
#include "protocol/CommandLine.h"

namespace quorvane {
namespace cli {

LineConnection::~LineConnection() { Close(); }

void LineConnection::Close() {
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
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        error = std::generic_category().message(errno);
        return -1;
    }
    if (!BindSource(fd, ai->ai_family, from, error)) {
        ::close(fd);
        return -1;
    }
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
    return true;
}

bool LineConnection::Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }

bool LineConnection::Send(const char* data, size_t length) {
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
