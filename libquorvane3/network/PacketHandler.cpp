#include "network/PacketHandler.h"

#include <sys/socket.h>

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/Reactor.h>

#include "network/ThreadPrecedence.h"

namespace quorvane {

PacketHandler::PacketHandler(ACE_Reactor* reactor)
    : ACE_Event_Handler(reactor), registered_(false) {}

PacketHandler::~PacketHandler() {
    Close();
}

bool PacketHandler::Open(const ACE_INET_Addr& address) {
    if (reactor() == 0 || socket_.get_handle() != ACE_INVALID_HANDLE) {
        return false;
    }
    if (socket_.open(address, PF_INET, 0, 0 /* no address reuse */) == -1) {
        return false;
    }
    priority(EVENT_PRIORITY);
    // Voice is real time: a send the kernel cannot take at once is dropped, never waited for.
    socket_.enable(ACE_NONBLOCK);
    // Larger system buffers ride out bursts of voice; the defaults still work if refused.
    int size = SOCKET_BUFFER_SIZE;
    socket_.set_option(SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socket_.set_option(SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (reactor()->register_handler(this, ACE_Event_Handler::READ_MASK) == -1) {
        socket_.close();
        return false;
    }
    registered_ = true;
    return true;
}

bool PacketHandler::Close() {
    Unregister();
    return socket_.close() == 0;
}

void PacketHandler::Unregister() {
    if (registered_ && reactor() != 0) {
        registered_ = false;
        reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK |
                                            ACE_Event_Handler::DONT_CALL);
    }
}

void PacketHandler::AddListener(PacketListener* listener) {
    ACE_GUARD(ACE_Thread_Mutex, guard, listenerLock_);
    listeners_.insert(listener);
}

void PacketHandler::RemoveListener(PacketListener* listener) {
    ACE_GUARD(ACE_Thread_Mutex, guard, listenerLock_);
    listeners_.erase(listener);
}

ACE_HANDLE PacketHandler::get_handle() const {
    return socket_.get_handle();
}

// A busy sound port has many datagrams waiting at each read event; taking them in one
// system call keeps the per-packet cost of the relay close to the kernel's own.
int PacketHandler::handle_input(ACE_HANDLE) {
    const int count = ReceiveBatch();
    ACE_INET_Addr from;
    for (int i = 0; i < count; ++i) {
        const int length = DatagramLength(i);
        if (length <= 0) continue;
        from.set(&senders_[i], static_cast<int>(messages_[i].msg_hdr.msg_namelen));
        Deliver(buffers_[i], length, from);
    }
    ThreadPrecedence::AfterWork();
    return 0;  // a failed or dropped receive never unregisters the handler
}

int PacketHandler::ReceiveBatch() {
    for (int i = 0; i < RECEIVE_BATCH; ++i) {
        vectors_[i].iov_base = buffers_[i];
        vectors_[i].iov_len = RECEIVE_BUFFER_SIZE;
        msghdr& header = messages_[i].msg_hdr;
        header.msg_name = &senders_[i];
        header.msg_namelen = sizeof senders_[i];
        header.msg_iov = &vectors_[i];
        header.msg_iovlen = 1;
        header.msg_control = 0;
        header.msg_controllen = 0;
        header.msg_flags = 0;
        messages_[i].msg_len = 0;
    }
    const int count = ::recvmmsg(socket_.get_handle(), messages_, RECEIVE_BATCH, MSG_TRUNC | MSG_DONTWAIT, 0);
    return count > 0 ? count : 0;
}

// Linux cuts a datagram longer than the buffer silently; with MSG_TRUNC the length is the
// real one, so such a datagram is dropped whole instead of delivered cut.
int PacketHandler::DatagramLength(int i) const {
    const unsigned length = messages_[i].msg_len;
    if (length == 0 || length > RECEIVE_BUFFER_SIZE || (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) return -1;
    if (senders_[i].sin_family != AF_INET) return -1;
    return static_cast<int>(length);
}

void PacketHandler::Deliver(char* data, int length, const ACE_INET_Addr& from) {
    ACE_GUARD(ACE_Thread_Mutex, guard, listenerLock_);
    for (std::set<PacketListener*>::const_iterator it = listeners_.begin(); it != listeners_.end();
         ++it) {
        (*it)->OnPacketReceived(data, length, from);
    }
}

// The reactor lets go of us (its shutdown): drop every registration and never touch it
// again, since it may be gone by the time we are destroyed.
int PacketHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    Unregister();
    return 0;
}

}  // namespace quorvane
