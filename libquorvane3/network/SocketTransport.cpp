#include "network/SocketTransport.h"

#include <sys/socket.h>

#include <cstring>

// MSG_DONTWAIT takes whatever room the socket has. (ACE's timed send polls first and gives
// up while the buffer is merely past its writable mark, which would stall the output.)
ssize_t SocketTransport::Write(const iovec* pieces, int count) {
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(socket_.get_handle(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t SocketTransport::Read(char* buffer, size_t size) {
    return ::recv(socket_.get_handle(), buffer, size, MSG_DONTWAIT);
}
