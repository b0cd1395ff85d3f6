#include "network/PacketHandler.h"

#include <sys/socket.h>

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/Reactor.h>

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

int PacketHandler::handle_input(ACE_HANDLE) {
    ACE_INET_Addr from(static_cast<u_short>(0), static_cast<ACE_UINT32>(INADDR_ANY));  // IPv4
    const int length = ReceiveDatagram(from);
    if (length > 0) {
        Deliver(length, from);
    }
    return 0;  // a failed or dropped receive never unregisters the handler
}

// Linux cuts a datagram longer than the buffer silently; MSG_TRUNC makes recvfrom answer
// its real length so that such a datagram is dropped whole instead of delivered cut.
int PacketHandler::ReceiveDatagram(ACE_INET_Addr& from) {
    int addressLength = from.get_size();
    const ssize_t count =
        ACE_OS::recvfrom(socket_.get_handle(), buffer_, sizeof buffer_, MSG_TRUNC | MSG_DONTWAIT,
                         static_cast<sockaddr*>(from.get_addr()), &addressLength);
    if (count <= 0 || count > RECEIVE_BUFFER_SIZE) {
        return -1;  // failed, empty or too long
    }
    from.set_size(addressLength);
    from.set_type(static_cast<sockaddr*>(from.get_addr())->sa_family);
    return static_cast<int>(count);
}

void PacketHandler::Deliver(int length, const ACE_INET_Addr& from) {
    ACE_GUARD(ACE_Thread_Mutex, guard, listenerLock_);
    for (std::set<PacketListener*>::const_iterator it = listeners_.begin(); it != listeners_.end();
         ++it) {
        (*it)->OnPacketReceived(buffer_, length, from);
    }
}

// The reactor lets go of us (its shutdown): drop every registration and never touch it
// again, since it may be gone by the time we are destroyed.
int PacketHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    Unregister();
    return 0;
}

}  // namespace quorvane
