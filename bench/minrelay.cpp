// The least a voice relay can do on this machine: one UDP socket, one thread, no locks and
// no TCP. A hello registers its sender's address under the user id it carries and is
// acknowledged; an audio packet goes, with its type byte turned from 5 to 4 and cut to its
// length field, to every other registered user of the sender's channel, or to the one
// user it names. The channel is a fixed rule on the id that the load generator shares:
// channel = (id - 1) / users-per-channel. It measures what the real server is compared with.
//
// With --tcp-port it also has the least control plane a storm needs, on a thread of its
// own as the server's main loop is: a TCP listener that welcomes each connection with its
// user id and answers login, join, ping and pwc, nothing more (no listings, no
// broadcasts). The channel is then the one the user joined: the control thread publishes
// each channel's member list as a new immutable array (atomic pointers; old arrays are
// kept until the end, a few MB for a storm), which the voice thread reads without a lock.
// The voice thread asks for real-time priority as the server's does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "BenchNet.h"
#include "UdpBatch.h"
#include "VoiceWire.h"

namespace {

const int kMaxUsers = 32766;
const int kMaxChannels = 4096;
const int kBatch = 64;

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Options {
    int port = 0;
    int usersPerChannel = 10;
    double duration = 900;     // the relay ends by itself after this
    int bufferBytes = 131072;  // as the server's sound port
    bool batched = true;       // recvmmsg/sendmmsg rather than one call per datagram
    int tcpPort = -1;          // the control plane's port (0: any); none when negative
};

// The channels as the control plane's joins make them: the voice thread reads a user's
// channel and the channel's members through atomics only.
struct Channels {
    Channels() {
        for (auto& c : channelOf) c.store(-1, std::memory_order_relaxed);
        for (auto& m : members) m.store(nullptr, std::memory_order_relaxed);
    }
    std::atomic<int> channelOf[kMaxUsers + 1];
    std::atomic<const std::vector<uint16_t>*> members[kMaxChannels];
};

// The control plane: welcome, login, join, ping, pwc; one epoll loop on its own thread.
class Control {
public:
    Control(Channels& channels, int port) : channels_(channels), port_(port) {}
    bool Open();
    int Port() const { return port_; }
    void Run();

private:
    struct Conn {
        int fd = -1;
        int id = 0;
        std::string in, out;
    };
    void Accept();
    void OnInput(Conn& c);
    void OnCommand(Conn& c, const std::string& line);
    void Write(Conn& c, const std::string& text);
    void Flush(Conn& c);
    void Drop(int fd);
    void Move(int id, int channel);

    Channels& channels_;
    int port_;
    int listen_ = -1, epoll_ = -1, nextId_ = 1;
    std::unordered_map<int, Conn> conns_;
    std::unordered_map<std::string, int> channelIds_;
    std::vector<std::unique_ptr<std::vector<uint16_t>>> kept_;  // every published array
};

bool Control::Open() {
    listen_ = ListenLoopback(port_);
    if (listen_ < 0) return false;
    epoll_ = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    return epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev) == 0;
}

void Control::Run() {
    epoll_event events[256];
    while (!g_stop) {
        int n = epoll_wait(epoll_, events, 256, 200);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listen_) {
                Accept();
                continue;
            }
            auto it = conns_.find(fd);
            if (it == conns_.end()) continue;
            if (events[i].events & EPOLLOUT) Flush(it->second);
            it = conns_.find(fd);
            if (it != conns_.end() && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) OnInput(it->second);
        }
    }
}

void Control::Accept() {
    for (int i = 0; i < 256; ++i) {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0) return;
        if (nextId_ > kMaxUsers) {
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn& c = conns_[fd];
        c.fd = fd;
        c.id = nextId_++;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        Write(c, "welcome userid=" + std::to_string(c.id) + " servername=\"minrelay\"\r\n");
    }
}

void Control::OnInput(Conn& c) {
    char buf[16384];
    for (;;) {
        const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Drop(c.fd);
            return;
        }
        if (n < 0) break;
        c.in.append(buf, size_t(n));
        if (c.in.size() > 65536) {  // no command is that long
            Drop(c.fd);
            return;
        }
    }
    size_t start = 0, lf;
    const int fd = c.fd;
    while ((lf = c.in.find('\n', start)) != std::string::npos) {
        OnCommand(c, c.in.substr(start, lf - start));
        if (conns_.find(fd) == conns_.end()) return;
        start = lf + 1;
    }
    c.in.erase(0, start);
}

void Control::OnCommand(Conn& c, const std::string& line) {
    const std::string word = line.substr(0, line.find_first_of(" \r"));
    if (word == "ping") {
        Write(c, "pong\r\n");
    } else if (word == "login") {
        Write(c, "accepted userid=" + std::to_string(c.id) + "\r\ndone\r\n");
    } else if (word == "join") {
        const size_t open = line.find("channel=\""), close = line.find('"', open + 9);
        const std::string name =
            open == std::string::npos || close == std::string::npos ? "/" : line.substr(open + 9, close - open - 9);
        auto it = channelIds_.find(name);
        if (it == channelIds_.end() && channelIds_.size() < size_t(kMaxChannels))
            it = channelIds_.emplace(name, int(channelIds_.size())).first;
        if (it != channelIds_.end()) Move(c.id, it->second);
        Write(c, "joined channel=\"" + name + "\"\r\ndone\r\n");
    } else if (word == "pwc") {
        Write(c, "pwc channel=\"\"\r\n");
    } else if (!word.empty()) {
        Write(c, "error number=101 message=\"Unknown command\"\r\n");
    }
}

// Publishes the member lists that change: the user leaves its channel (if any) for channel
// (none when negative).
void Control::Move(int id, int channel) {
    auto publish = [&](int ch, int add, int remove) {
        const std::vector<uint16_t>* old = channels_.members[ch].load(std::memory_order_relaxed);
        std::unique_ptr<std::vector<uint16_t>> next(new std::vector<uint16_t>());
        if (old) next->reserve(old->size() + 1);
        if (old)
            for (uint16_t m : *old)
                if (m != remove) next->push_back(m);
        if (add > 0) next->push_back(uint16_t(add));
        channels_.members[ch].store(next.get(), std::memory_order_release);
        kept_.push_back(std::move(next));
    };
    const int from = channels_.channelOf[id].load(std::memory_order_relaxed);
    if (from == channel) return;
    if (from >= 0) publish(from, 0, id);
    if (channel >= 0) publish(channel, id, 0);
    channels_.channelOf[id].store(channel, std::memory_order_release);
}

void Control::Write(Conn& c, const std::string& text) {
    if (!c.out.empty()) {
        c.out += text;
        return;
    }
    const ssize_t n = send(c.fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // the read sees the failure
    const size_t done = n > 0 ? size_t(n) : 0;
    if (done == text.size()) return;
    c.out.assign(text, done, std::string::npos);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Control::Flush(Conn& c) {
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) Drop(c.fd);
            return;
        }
        c.out.erase(0, size_t(n));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Control::Drop(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    Move(it->second.id, -1);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    conns_.erase(it);
}

class Relay {
public:
    // With channels, a user's channel is the one it joined.
    Relay(const Options& o, const Channels* channels)
        : opt_(o), channels_(channels), table_(size_t(kMaxUsers) + 1), known_(size_t(kMaxUsers) + 1, false) {}

    bool Open();
    void Run();
    int Port() const { return opt_.port; }

private:
    void Handle(uint8_t* p, unsigned len, const sockaddr_in& from);
    void Send(const uint8_t* p, unsigned len, const sockaddr_in& to);
    void Flush();

    Options opt_;
    const Channels* channels_;
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
    if (channels_) {
        const int joined = channels_->channelOf[id].load(std::memory_order_acquire);
        const std::vector<uint16_t>* members =
            joined < 0 ? nullptr : channels_->members[joined].load(std::memory_order_acquire);
        if (members)
            for (uint16_t other : *members)
                if (other != id && known_[other]) Send(p, length, table_[other]);
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
        else if (a == "--tcp-port") o.tcpPort = int(v);
        else if (a == "--users-per-channel") o.usersPerChannel = int(v);
        else if (a == "--duration") o.duration = v;
        else if (a == "--buffer") o.bufferBytes = int(v);
        else return false;
    }
    return o.port >= 0 && o.port <= 65535 && o.tcpPort <= 65535 && o.usersPerChannel >= 1 && o.duration > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        fprintf(stderr,
                "usage: minrelay [--port P (0: any)] [--users-per-channel U (10)] [--duration S (900)]\n"
                "                [--buffer BYTES (131072)] [--simple: one system call per datagram]\n"
                "                [--tcp-port P: the control plane (welcome, login, join, ping) there]\n");
        return 2;
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    static Channels channels;  // large: not on the stack
    std::unique_ptr<Control> control;
    if (o.tcpPort >= 0) {
        control.reset(new Control(channels, o.tcpPort));
        if (!control->Open()) {
            fprintf(stderr, "minrelay: cannot open TCP port %d on 127.0.0.1: %s\n", o.tcpPort, strerror(errno));
            return 1;
        }
    }
    Relay relay(o, control ? &channels : nullptr);
    if (!relay.Open()) {
        fprintf(stderr, "minrelay: cannot open UDP port %d on 127.0.0.1: %s\n", o.port, strerror(errno));
        return 1;
    }
    std::thread controlThread;
    if (control) {
        controlThread = std::thread([&control] { control->Run(); });
        // As the server's voice thread: real-time priority where the system grants it.
        sched_param param{};
        param.sched_priority = 1;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        printf("minrelay control plane on 127.0.0.1:%d\n", control->Port());
    }
    printf("minrelay listening on 127.0.0.1:%d\n", relay.Port());
    fflush(stdout);
    relay.Run();
    g_stop = 1;
    if (controlThread.joinable()) controlThread.join();
    return 0;
}
