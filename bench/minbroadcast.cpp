// The least a server can do to broadcast control lines on this machine: one thread, one
// epoll loop, no locks, no parsing beyond one command. Every accepted connection is greeted
// with "welcome"; a "go L S" line from any of them makes it write L lines of S bytes (line
// end included), each line to every connection in turn, as a server does when one event
// must reach every user. A line that does not fit in a socket's buffer waits in that
// connection's own queue and goes out with the next ones when the socket is writable;
// new lines are made only while all the queues together hold less than 64 MiB. With
// --batch every line is queued and written when the socket is writable, as many as have
// gathered in one call: the fewest system calls a broadcaster can make.
// It measures what the real server's broadcasts are compared with.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchNet.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Conn {
    int fd = -1;
    std::string in;
    std::string out;
};

class Broadcaster {
public:
    Broadcaster(int port, double duration, bool batch) : port_(port), duration_(duration), batch_(batch) {}

    bool Open();
    void Run();

private:
    void Accept();
    void OnInput(size_t k);
    void Flush(size_t k);
    void Write(size_t k, const char* data, size_t length);
    void Watch(size_t k, bool output);
    void Drop(size_t k);
    void BroadcastOne();

    int port_;
    double duration_;
    bool batch_;
    int listen_ = -1;
    int epoll_ = -1;
    std::vector<Conn> conns_;
    std::string line_;   // the line being broadcast
    long pending_ = 0;   // lines still to broadcast
    size_t queued_ = 0;  // bytes waiting in all the queues
};

const size_t kQueueLimit = size_t(64) << 20;

bool Broadcaster::Open() {
    listen_ = ListenLoopback(port_);
    if (listen_ < 0) {
        perror("minbroadcast: listen");
        return false;
    }
    epoll_ = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = UINT64_MAX;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
    printf("listening on 127.0.0.1:%d\n", port_);
    fflush(stdout);
    return true;
}

void Broadcaster::Watch(size_t k, bool output) {
    epoll_event ev{};
    ev.events = output ? EPOLLIN | EPOLLOUT : EPOLLIN;
    ev.data.u64 = k;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, conns_[k].fd, &ev);
}

void Broadcaster::Drop(size_t k) {
    Conn& c = conns_[k];
    if (c.fd < 0) return;
    queued_ -= c.out.size();
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
    std::string().swap(c.in);
    std::string().swap(c.out);
}

void Broadcaster::Accept() {
    for (int i = 0; i < 1024; ++i) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0) return;
        conns_.push_back(Conn());
        size_t k = conns_.size() - 1;
        conns_[k].fd = fd;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = k;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        static const char kWelcome[] = "welcome\r\n";
        Write(k, kWelcome, sizeof kWelcome - 1);
    }
}

// Writes at once when nothing waits before it; whatever the socket does not take waits.
void Broadcaster::Write(size_t k, const char* data, size_t length) {
    Conn& c = conns_[k];
    if (c.fd < 0) return;
    if (!c.out.empty() || batch_) {
        if (c.out.empty()) Watch(k, true);
        c.out.append(data, length);
        queued_ += length;
        return;
    }
    ssize_t n = send(c.fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        Drop(k);
        return;
    }
    size_t done = n > 0 ? size_t(n) : 0;
    if (done < length) {
        c.out.assign(data + done, length - done);
        queued_ += length - done;
        Watch(k, true);
    }
}

void Broadcaster::Flush(size_t k) {
    Conn& c = conns_[k];
    while (c.fd >= 0 && !c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) Drop(k);
            return;
        }
        c.out.erase(0, size_t(n));
        queued_ -= size_t(n);
    }
    if (c.fd >= 0) Watch(k, false);
}

void Broadcaster::BroadcastOne() {
    --pending_;
    for (size_t k = 0; k < conns_.size(); ++k) Write(k, line_.data(), line_.size());
}

void Broadcaster::OnInput(size_t k) {
    char buf[4096];
    for (;;) {
        ssize_t n = recv(conns_[k].fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Drop(k);
            return;
        }
        if (n < 0) break;
        conns_[k].in.append(buf, size_t(n));
        if (conns_[k].in.size() > 4096) {  // only one short command is ever expected
            Drop(k);
            return;
        }
    }
    size_t lf;
    while (conns_[k].fd >= 0 && (lf = conns_[k].in.find('\n')) != std::string::npos) {
        std::string cmd = conns_[k].in.substr(0, lf);
        conns_[k].in.erase(0, lf + 1);
        long lines = 0, bytes = 0;
        if (sscanf(cmd.c_str(), "go %ld %ld", &lines, &bytes) == 2 && lines > 0 && lines <= 1000000 && bytes > 2 &&
            bytes <= 65536) {
            line_.assign(size_t(bytes) - 2, 'x');
            line_.replace(0, std::min(line_.size(), size_t(14)), "updatechannel ", std::min(line_.size(), size_t(14)));
            line_ += "\r\n";
            pending_ = lines;
        }
    }
}

void Broadcaster::Run() {
    double end = Now() + duration_;
    epoll_event events[1024];
    while (!g_stop && Now() < end) {
        while (pending_ > 0 && queued_ < kQueueLimit) BroadcastOne();
        int n = epoll_wait(epoll_, events, 1024, pending_ > 0 ? 0 : 100);
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            if (key == UINT64_MAX) {
                Accept();
                continue;
            }
            if (conns_[key].fd < 0) continue;
            if (events[i].events & EPOLLOUT) Flush(key);
            if (conns_[key].fd >= 0 && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) OnInput(key);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    double duration = 600;
    bool batch = false;
    bool bad = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--batch") == 0) batch = true;
        else if (i + 1 >= argc) bad = true;
        else if (strcmp(argv[i], "--port") == 0) port = atoi(argv[++i]);
        else if (strcmp(argv[i], "--duration") == 0) duration = atof(argv[++i]);
        else bad = true;
    }
    if (bad || port <= 0 || port > 65535) {
        fprintf(stderr, "usage: minbroadcast --port P [--duration S (600)] [--batch]\n");
        return 2;
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    Broadcaster b(port, duration, batch);
    if (!b.Open()) return 1;
    b.Run();
    return 0;
}
