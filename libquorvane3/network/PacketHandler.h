// The server's one UDP socket. Reads datagrams on its own reactor's thread and hands
// them to every registered listener. Sending is done by the owner on GetSocket().
// Bound to every address, the socket also learns which local address each datagram was
// sent to (IP_PKTINFO, IPV6_PKTINFO), so that the answer can leave from it (a client of a
// second address drops answers from the first). On a dual-stack socket an IPv4 sender
// shows as ::ffff:a.b.c.d.
#ifndef QUORVANE_NETWORK_PACKETHANDLER_H
#define QUORVANE_NETWORK_PACKETHANDLER_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <set>

#include <ace/Event_Handler.h>
#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>
#include <ace/Thread_Mutex.h>

#include "network/BindAddress.h"
#include "network/LocalAddress.h"
#include "network/PacketListener.h"

namespace quorvane {

class PacketHandler : public ACE_Event_Handler {
public:
    enum {
        RECEIVE_BUFFER_SIZE = 512,  // longer datagrams are dropped whole
        RECEIVE_BATCH = 32,         // datagrams taken with one system call
        SOCKET_BUFFER_SIZE = 131072,
        EVENT_PRIORITY = 10,
    };

    explicit PacketHandler(ACE_Reactor* reactor);
    ~PacketHandler() override;

    // Owner's thread. The socket is non-blocking. Close may run while the loop runs
    // elsewhere, but the reactor does not wait for a read already dispatched: destroy the
    // handler only once its loop has stopped or from the loop's own thread.
    bool Open(const ACE_INET_Addr& address);
    bool Open(const BindAddress& where, int port);
    bool Close();

    // Thread safe; wait for a delivery in progress. Never call from OnPacketReceived.
    void AddListener(PacketListener* listener);
    void RemoveListener(PacketListener* listener);

    ACE_SOCK_Dgram& GetSocket() { return socket_; }
    // AF_INET or AF_INET6 (which also carries IPv4 when bound to every address); the
    // owner's thread sets it at Open, before any datagram.
    int Family() const { return family_; }
    // Voice thread, inside OnPacketReceived: the local address the datagram was sent to;
    // none when the socket is bound to one address, which answers leave from.
    const LocalAddress& CurrentDestination() const { return current_ < 0 ? none_ : destinations_[current_]; }
    // When the batch of the datagram being delivered was received (CLOCK_MONOTONIC, ns).
    int64_t CurrentReceiveTime() const { return receivedAtNs_; }
    static int64_t MonotonicNanoseconds();
    // Datagrams dropped before any listener saw them (longer than RECEIVE_BUFFER_SIZE, or
    // not from an IP address). Any thread.
    uint64_t DroppedDatagrams() const { return dropped_.load(std::memory_order_relaxed); }
    ACE_HANDLE get_handle() const override;

    int handle_input(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;
    int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;

private:
    // The datagrams waiting, up to a batch, into the buffers: how many were taken.
    int ReceiveBatch();
    // The length of datagram i, or -1 when it carries nothing to deliver.
    int DatagramLength(int i) const;
    // The local address datagram i was sent to, from its control data; none without.
    LocalAddress Destination(int i) const;
    void Unregister();

    ACE_SOCK_Dgram socket_;
    std::set<PacketListener*> listeners_;
    // Guards listeners_: held by the voice thread during each batch of deliveries and by
    // the owner's thread to add or remove a listener (at start and stop only), so a
    // removed listener is called no more.
    ACE_Thread_Mutex listenerLock_;
    // Fixed receive areas: nothing is allocated per datagram.
    char buffers_[RECEIVE_BATCH][RECEIVE_BUFFER_SIZE];
    struct mmsghdr messages_[RECEIVE_BATCH];
    struct iovec vectors_[RECEIVE_BATCH];
    struct sockaddr_in6 senders_[RECEIVE_BATCH];  // room for either family
    // An IPv4 datagram on a dual-stack socket carries both kinds of control data.
    union Control {
        char bytes[CMSG_SPACE(sizeof(struct in_pktinfo)) + CMSG_SPACE(sizeof(struct in6_pktinfo))];
        struct cmsghdr align;
    } controls_[RECEIVE_BATCH];
    LocalAddress destinations_[RECEIVE_BATCH];
    const LocalAddress none_;
    int current_;               // the datagram being delivered; -1 between deliveries
    int64_t receivedAtNs_ = 0;  // when the batch being delivered was received
    std::atomic<uint64_t> dropped_{0};
    int family_ = AF_INET;
    bool pktinfo_;     // bound to every address: the control data says where each went
    bool registered_;  // with the reactor; false once the reactor let go of us
};

}  // namespace quorvane

#endif
