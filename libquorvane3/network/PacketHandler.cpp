#include "network/PacketHandler.h"

#include <time.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/Reactor.h>

#include "network/SnapshotReclaimer.h"
#include "network/ThreadPrecedence.h"

namespace quorvane {

PacketHandler::PacketHandler(ACE_Reactor* reactor)
    : ACE_Event_Handler(reactor), current_(-1), pktinfo_(false), registered_(false) {}

PacketHandler::~PacketHandler() { Close(); }

bool PacketHandler::Open(const ACE_INET_Addr& address) {
    return Open(BindAddress::One(address), address.get_port_number());
}

bool PacketHandler::Open(const BindAddress& where, int port) {
    if (reactor() == 0 || socket_.get_handle() != ACE_INVALID_HANDLE) {
        return false;
    }
    const int fd = where.Bind(SOCK_DGRAM, port);  // no address reuse
    if (fd < 0) {
        return false;
    }
    socket_.set_handle(fd);
    sockaddr_in6 local;
    socklen_t localSize = sizeof local;
    family_ = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 ? local.sin6_family : AF_INET;
    priority(EVENT_PRIORITY);
    int on = 1;
    pktinfo_ = false;
    if (where.IsWildcard()) {
        // IPv4 datagrams of a dual-stack socket say it both ways; IP_PKTINFO is read first.
        pktinfo_ = socket_.set_option(IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
        if (family_ == AF_INET6)
            pktinfo_ = socket_.set_option(IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) == 0 || pktinfo_;
    }
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
        reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
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

ACE_HANDLE PacketHandler::get_handle() const { return socket_.get_handle(); }

int64_t PacketHandler::MonotonicNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A busy sound port has many datagrams waiting at each read event; taking them in one
// system call keeps the per-packet cost of the relay close to the kernel's own. The batch
// is one of the reclaimer's: the listeners follow published snapshots only within it.
int PacketHandler::handle_input(ACE_HANDLE) {
    const int count = ReceiveBatch();
    receivedAtNs_ = MonotonicNanoseconds();
    ThreadPrecedence::CountDatagrams(static_cast<unsigned>(count));
    if (count > 0) {
        SnapshotReclaimer& reclaimer = SnapshotReclaimer::Instance();
        ACE_INET_Addr from;
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, listenerLock_, 0);
        reclaimer.Enter();
        for (int i = 0; i < count; ++i) {
            const int length = DatagramLength(i);
            if (length <= 0) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            from.set(reinterpret_cast<const sockaddr_in*>(&senders_[i]),
                     static_cast<int>(messages_[i].msg_hdr.msg_namelen));
            destinations_[i] = Destination(i);
            current_ = i;
            for (std::set<PacketListener*>::const_iterator it = listeners_.begin(); it != listeners_.end(); ++it)
                (*it)->OnPacketReceived(buffers_[i], length, from);
        }
        current_ = -1;
        reclaimer.Leave();
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
        header.msg_control = pktinfo_ ? controls_[i].bytes : 0;
        header.msg_controllen = pktinfo_ ? sizeof controls_[i].bytes : 0;
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
    if (senders_[i].sin6_family != AF_INET && senders_[i].sin6_family != AF_INET6) return -1;
    return static_cast<int>(length);
}

LocalAddress PacketHandler::Destination(int i) const {
    LocalAddress local;
    msghdr& header = const_cast<msghdr&>(messages_[i].msg_hdr);
    if (!pktinfo_ || header.msg_controllen == 0) return local;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != 0; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            local.address = IpAddress::FromV4(ntohl(info.ipi_spec_dst.s_addr));
            local.interface = 0;
            return local;
        }
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            local.address = IpAddress::FromV6(info.ipi6_addr);
            local.interface = local.address.IsLinkLocal() ? info.ipi6_ifindex : 0;
        }
    }
    return local;
}

// The reactor lets go of us (its shutdown): drop every registration and never touch it
// again, since it may be gone by the time we are destroyed.
int PacketHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    Unregister();
    return 0;
}

}  // namespace quorvane
