#include "network/TlsTransport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "network/TlsContext.h"

TlsTransport::~TlsTransport() { SSL_free(session_); }

ssize_t TlsTransport::Failed(int result) {
    const int error = SSL_get_error(session_, result);
    const int saved = errno;
    ERR_clear_error();
    switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: errno = EAGAIN; return -1;
    case SSL_ERROR_ZERO_RETURN: return 0;  // close_notify, or an end without one
    case SSL_ERROR_SYSCALL: errno = saved != 0 ? saved : ECONNRESET; return -1;
    default: errno = EPROTO; return -1;
    }
}

ssize_t TlsTransport::Write(const iovec* pieces, int count) {
    size_t taken = 0;
    int piece = 0;
    size_t offset = 0;  // into pieces[piece]
    for (;;) {
        if (staged_ == 0) {
            // The next record's plaintext from the pieces after what was taken.
            while (staged_ < RECORD_BYTES && piece < count) {
                const size_t part = std::min(pieces[piece].iov_len - offset, RECORD_BYTES - staged_);
                std::memcpy(stage_ + staged_, static_cast<const char*>(pieces[piece].iov_base) + offset, part);
                staged_ += part;
                offset += part;
                if (offset == pieces[piece].iov_len) {
                    ++piece;
                    offset = 0;
                }
            }
            if (staged_ == 0) return static_cast<ssize_t>(taken);
        } else if (taken == 0) {
            // A retry: the pieces begin with the staged bytes; skip them.
            for (size_t skip = staged_; skip > 0 && piece < count;) {
                const size_t part = std::min(pieces[piece].iov_len - offset, skip);
                skip -= part;
                offset += part;
                if (offset == pieces[piece].iov_len) {
                    ++piece;
                    offset = 0;
                }
            }
        }
        ERR_clear_error();
        const int result = SSL_write(session_, stage_, static_cast<int>(staged_));
        if (result <= 0) {
            const ssize_t failed = Failed(result);
            if (taken > 0 && failed < 0 && errno == EAGAIN) return static_cast<ssize_t>(taken);
            if (failed == 0) errno = EPIPE;
            return -1;
        }
        taken += static_cast<size_t>(result);
        staged_ = 0;
    }
}

ssize_t TlsTransport::Read(char* buffer, size_t size) {
    size_t got = 0;
    while (got == 0 || size - got >= RECORD_BYTES) {
        ERR_clear_error();
        const int result = SSL_read(session_, buffer + got, static_cast<int>(std::min<size_t>(size - got, 1 << 30)));
        if (TlsContext::Renegotiated(session_)) {
            errno = EPROTO;
            return -1;
        }
        if (result > 0) {
            got += static_cast<size_t>(result);
            continue;
        }
        const ssize_t failed = Failed(result);
        if (got > 0) break;  // the end or the error shows on the next read
        return failed;
    }
    return static_cast<ssize_t>(got);
}
