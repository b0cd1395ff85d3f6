// A batch of datagram buffers for recvmmsg: up to Size datagrams of at most Bytes bytes
// each, with their senders' addresses and, on sockets with SO_TIMESTAMPNS, the kernel's
// receive times, taken in one system call.
#ifndef QUORVANE_BENCH_UDPBATCH_H
#define QUORVANE_BENCH_UDPBATCH_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <ctime>

template <int Size, int Bytes>
class UdpBatch {
public:
    // Non-blocking; answers the number of datagrams taken (0 when none were waiting).
    int Receive(int fd) {
        for (int i = 0; i < Size; ++i) {
            iovs_[i].iov_base = bufs_[i];
            iovs_[i].iov_len = sizeof bufs_[i];
            memset(&msgs_[i].msg_hdr, 0, sizeof msgs_[i].msg_hdr);
            msgs_[i].msg_hdr.msg_iov = &iovs_[i];
            msgs_[i].msg_hdr.msg_iovlen = 1;
            msgs_[i].msg_hdr.msg_name = &from_[i];
            msgs_[i].msg_hdr.msg_namelen = sizeof from_[i];
            msgs_[i].msg_hdr.msg_control = control_[i];
            msgs_[i].msg_hdr.msg_controllen = sizeof control_[i];
        }
        int n = recvmmsg(fd, msgs_, Size, MSG_DONTWAIT, nullptr);
        return n > 0 ? n : 0;
    }

    uint8_t* Data(int i) { return bufs_[i]; }
    unsigned Length(int i) const { return msgs_[i].msg_len; }
    // The datagram did not fit its buffer and was cut.
    bool Truncated(int i) const { return (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
    const sockaddr_in& From(int i) const { return from_[i]; }

    // The kernel's receive time (CLOCK_REALTIME); false when the socket does not give it.
    bool ReceivedAt(int i, timespec& at) {
        msghdr& h = msgs_[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                memcpy(&at, CMSG_DATA(c), sizeof at);
                return true;
            }
        return false;
    }

private:
    uint8_t bufs_[Size][Bytes];
    sockaddr_in from_[Size];
    iovec iovs_[Size];
    mmsghdr msgs_[Size];
    alignas(cmsghdr) uint8_t control_[Size][CMSG_SPACE(sizeof(timespec))];
};

#endif
