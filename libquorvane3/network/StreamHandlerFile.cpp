// The file data path of a connection: a download's file written to the socket by the
// kernel, in bounded pieces, behind whatever lines were queued before it.
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <csignal>

#include "network/StreamHandler.h"

namespace {

// sendfile, unlike sendmsg, cannot be told not to raise SIGPIPE: a peer that reset its
// end would end the process. Ignored once, unless the program handles the signal itself.
void IgnoreBrokenPipes() {
    static const bool done = [] {
        struct sigaction current;
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
            !(current.sa_flags & SA_SIGINFO))
            ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

}  // namespace

ssize_t StreamHandler::SendFile(int fd, int64_t& offset, size_t count) {
    IgnoreBrokenPipes();
    if (IsClosing()) return FILE_FAILED;
    AssertLoopThread();
    if (!queue_.Empty()) return FILE_WAIT;  // their pass ends in OnStreamReady
    if (count > FILE_SLICE_BYTES) count = FILE_SLICE_BYTES;
    if (transport_) return SendFileThrough(fd, offset, count);
    off_t position = static_cast<off_t>(offset);
    for (;;) {
        const ssize_t sent = ::sendfile(peer().get_handle(), fd, &position, count);
        if (sent >= 0) {
            offset = static_cast<int64_t>(position);
            return sent;
        }
        if (errno == EINTR) continue;
        if (IsTransient(errno) && reactor() != 0 && WaitForRoom()) return FILE_WAIT;
        handle_close();  // deferred when one of our callbacks is on the stack
        return FILE_FAILED;
    }
}

void StreamHandler::ContinueLater() {
    if (IsClosing() || reactor() == 0) return;
    AssertLoopThread();
    if (!RequestOutput()) handle_close();  // the listener would wait for its pass forever
}

// A transport that enciphers must see the bytes: read, then written through it. What it
// did not take is read again next time (from the page cache), so nothing is held here.
ssize_t StreamHandler::SendFileThrough(int fd, int64_t& offset, size_t count) {
    char buffer[FILE_THROUGH_BYTES];
    const ssize_t got = ::pread(fd, buffer, std::min<size_t>(count, sizeof buffer), static_cast<off_t>(offset));
    if (got <= 0) return got == 0 ? 0 : FILE_FAILED;
    const iovec piece = {buffer, static_cast<size_t>(got)};
    for (;;) {
        const ssize_t sent = transport_->Write(&piece, 1);
        if (sent > 0) {
            offset += sent;
            return sent;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && IsTransient(errno) && reactor() != 0 && WaitForRoom()) return FILE_WAIT;
        handle_close();
        return FILE_FAILED;
    }
}
