// The least a voice relay can do on this machine: one UDP socket, one thread, no locks and
// no TCP. A hello registers its sender's address under the user id it carries and is
// acknowledged; an audio packet goes, with its type byte turned from 5 to 4 and cut to its
// length field, to every other registered user of the sender's channel, or to the one
// user it names. The channel is a fixed rule on the id that the load generator shares:
// channel = (id - 1) / users-per-channel. It measures what the real server is compared with.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchNet.h"
#include "UdpBatch.h"
#include "VoiceWire.h"

namespace {

const int kMaxUsers = 32766;
const int kBatch = 64;

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Options {
    int port = 0;
    int usersPerChannel = 10;
    double duration = 900;     // the relay ends by itself after this
    int bufferBytes = 131072;  // as the server's sound port
    bool batched = true;       // recvmmsg/sendmmsg rather than one call per datagram
};

class Relay {
public:
    explicit Relay(const Options& o) : opt_(o), table_(size_t(kMaxUsers) + 1), known_(size_t(kMaxUsers) + 1, false) {}

    bool Open();
    void Run();
    int Port() const { return opt_.port; }

private:
    void Handle(uint8_t* p, unsigned len, const sockaddr_in& from);
    void Send(const uint8_t* p, unsigned len, const sockaddr_in& to);
    void Flush();

    Options opt_;
    int fd_ = -1;
    std::vector<sockaddr_in> table_;
    std::vector<bool> known_;
    // Sends of the current receive batch, flushed once per batch.
    std::vector<mmsghdr> out_;
    std::vector<iovec> outIov_;
    uint64_t received_ = 0, forwarded_ = 0, failed_ = 0;
};

bool Relay::Open() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) return false;
    sockaddr_in a = Loopback(opt_.port);
    if (bind(fd_, (sockaddr*)&a, sizeof a) != 0) return false;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &opt_.bufferBytes, sizeof opt_.bufferBytes);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &opt_.bufferBytes, sizeof opt_.bufferBytes);
    socklen_t len = sizeof a;
    getsockname(fd_, (sockaddr*)&a, &len);
    opt_.port = ntohs(a.sin_port);
    out_.reserve(4096);
    outIov_.reserve(4096);
    return true;
}

void Relay::Send(const uint8_t* p, unsigned len, const sockaddr_in& to) {
    if (!opt_.batched) {
        if (sendto(fd_, p, len, 0, (const sockaddr*)&to, sizeof to) == ssize_t(len)) ++forwarded_;
        else ++failed_;
        return;
    }
    iovec iov;
    iov.iov_base = const_cast<uint8_t*>(p);
    iov.iov_len = len;
    outIov_.push_back(iov);
    mmsghdr m;
    memset(&m, 0, sizeof m);
    m.msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
    m.msg_hdr.msg_namelen = sizeof to;
    out_.push_back(m);
}

void Relay::Flush() {
    for (size_t i = 0; i < out_.size(); ++i) {
        out_[i].msg_hdr.msg_iov = &outIov_[i];
        out_[i].msg_hdr.msg_iovlen = 1;
    }
    size_t done = 0;
    while (done < out_.size()) {
        int n = sendmmsg(fd_, &out_[done], unsigned(std::min<size_t>(out_.size() - done, 1024)), 0);
        if (n <= 0) {
            // One failed datagram is dropped, as the server drops it; go on with the rest.
            ++failed_;
            ++done;
            continue;
        }
        forwarded_ += uint64_t(n);
        done += size_t(n);
    }
    out_.clear();
    outIov_.clear();
}

void Relay::Handle(uint8_t* p, unsigned len, const sockaddr_in& from) {
    if (len < 6) return;
    ++received_;
    unsigned id = Get16(p + 4);
    if (p[0] == kHello || p[0] == kKeepAlive) {
        if (id == 0 || id > unsigned(kMaxUsers) || Get16(p + 2) > len) return;
        table_[id] = from;
        known_[id] = true;
        static const uint8_t ack[6] = {kAck, 5, 6, 0, 0, 0};
        static const uint8_t alive[6] = {kAlive, 5, 6, 0, 0, 0};
        sendto(fd_, p[0] == kHello ? ack : alive, 6, 0, (const sockaddr*)&from, sizeof from);
        return;
    }
    if (p[0] != kAudioOut || len < 8) return;
    unsigned length = Get16(p + 2);
    if (length < 8 || length > len || id == 0 || id > unsigned(kMaxUsers) || !known_[id]) return;
    p[0] = kAudioIn;
    unsigned dest = Get16(p + 6);
    if (dest != 0) {
        if (dest <= unsigned(kMaxUsers) && known_[dest]) Send(p, length, table_[dest]);
        return;
    }
    unsigned channel = (id - 1) / unsigned(opt_.usersPerChannel);
    unsigned first = channel * unsigned(opt_.usersPerChannel) + 1;
    unsigned last = std::min(first + unsigned(opt_.usersPerChannel) - 1, unsigned(kMaxUsers));
    for (unsigned other = first; other <= last; ++other)
        if (other != id && known_[other]) Send(p, length, table_[other]);
}

void Relay::Run() {
    static UdpBatch<kBatch, kMaxDatagram> batch;
    static uint8_t single[kMaxDatagram];
    double end = Now() + opt_.duration;
    while (!g_stop && Now() < end) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0) continue;
        if (opt_.batched) {
            int n = batch.Receive(fd_);
            for (int i = 0; i < n; ++i)
                if (!batch.Truncated(i))  // over 512 bytes: dropped, as the server does
                    Handle(batch.Data(i), batch.Length(i), batch.From(i));
            Flush();
        } else {
            sockaddr_in from;
            socklen_t alen = sizeof from;
            ssize_t got = recvfrom(fd_, single, sizeof single, MSG_DONTWAIT | MSG_TRUNC, (sockaddr*)&from, &alen);
            if (got > 0 && got <= kMaxDatagram) Handle(single, unsigned(got), from);
        }
    }
    fprintf(stderr,
            "minrelay: received %" PRIu64 " datagrams, forwarded %" PRIu64 " copies, %" PRIu64 " failed sends\n",
            received_, forwarded_, failed_);
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--simple") {
            o.batched = false;
            continue;
        }
        if (i + 1 >= argc) return false;
        char* end = nullptr;
        double v = strtod(argv[++i], &end);
        if (!end || *end != '\0') return false;
        if (a == "--port") o.port = int(v);
        else if (a == "--users-per-channel") o.usersPerChannel = int(v);
        else if (a == "--duration") o.duration = v;
        else if (a == "--buffer") o.bufferBytes = int(v);
        else return false;
    }
    return o.port >= 0 && o.port <= 65535 && o.usersPerChannel >= 1 && o.duration > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        fprintf(stderr,
                "usage: minrelay [--port P (0: any)] [--users-per-channel U (10)] [--duration S (900)]\n"
                "                [--buffer BYTES (131072)] [--simple: one system call per datagram]\n");
        return 2;
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    Relay relay(o);
    if (!relay.Open()) {
        fprintf(stderr, "minrelay: cannot open UDP port %d on 127.0.0.1: %s\n", o.port, strerror(errno));
        return 1;
    }
    printf("minrelay listening on 127.0.0.1:%d\n", relay.Port());
    fflush(stdout);
    relay.Run();
    return 0;
}
