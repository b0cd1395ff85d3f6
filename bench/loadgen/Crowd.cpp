// The clients' connections: starting them, the login steps, reading lines and datagrams.
#include "Crowd.h"

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "BenchNet.h"
#include "LineClient.h"
#include "UdpBatch.h"
#include "VoiceWire.h"

Crowd::Crowd(const Options& o) : opt_(o), voice_(!o.dump.empty() || !o.windowFile.empty()) {
    deadline_ = Now() + o.maxTime;
}

bool Crowd::RaiseFileLimit(int needed) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    if (rl.rlim_cur >= rlim_t(needed)) return true;
    rlimit want = rl;
    want.rlim_cur = rlim_t(needed);
    if (want.rlim_max < want.rlim_cur) want.rlim_max = want.rlim_cur;  // root may raise the hard limit too
    if (setrlimit(RLIMIT_NOFILE, &want) == 0) return true;
    want.rlim_cur = rl.rlim_max;
    want.rlim_max = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &want);
    fprintf(stderr, "loadgen: cannot raise the open-file limit to %d (hard limit %llu)\n", needed,
            (unsigned long long)rl.rlim_max);
    return false;
}

void Crowd::Fail(User& u, const std::string& why) {
    if (u.state == State::Failed) return;
    if (failures_ < 5) fprintf(stderr, "loadgen: user %d (id %d): %s\n", u.index, u.id, why.c_str());
    ++failures_;
    u.state = State::Failed;
    u.error = why;
    // The UDP socket stays: this may run inside its own receive loop.
    CloseTcp(u);
}

void Crowd::CloseTcp(User& u) {
    if (u.tcp >= 0) {
        epoll_ctl(EpollOf(u), EPOLL_CTL_DEL, u.tcp, nullptr);
        close(u.tcp);
        u.tcp = -1;
    }
}

void Crowd::CloseUser(User& u) {
    CloseTcp(u);
    if (u.udp >= 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, u.udp, nullptr);
        close(u.udp);
        u.udp = -1;
    }
}

void Crowd::Reset(User& u) {
    CloseUser(u);
    User fresh;
    fresh.index = u.index;
    fresh.channel = u.channel;
    fresh.joins = u.joins;
    fresh.watch = u.watch;
    fresh.urgent = u.urgent;
    fresh.plain = u.plain;
    fresh.admin = u.admin;
    fresh.tolerant = u.tolerant;
    u = fresh;
}

std::string Crowd::JoinLine(const User& u) const {
    const std::string channel = silent_ ? opt_.channel : "/c" + std::to_string(u.channel) + "/";
    return "join channel=\"" + channel + "\"\r\n";
}

void Crowd::Watch(User& u, bool output) {
    epoll_event ev{};
    ev.events = output ? EPOLLIN | EPOLLOUT : EPOLLIN;
    ev.data.u64 = uint64_t(u.index) << 1;
    epoll_ctl(EpollOf(u), EPOLL_CTL_MOD, u.tcp, &ev);
}

void Crowd::SendTcp(User& u, const std::string& text) {
    if (u.tcp < 0) return;
    if (u.out.empty()) {
        ssize_t n = send(u.tcp, text.data(), text.size(), MSG_NOSIGNAL);
        if (n == ssize_t(text.size())) return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(u, std::string("send: ") + strerror(errno));
            return;
        }
        u.out.assign(text, n > 0 ? size_t(n) : 0, std::string::npos);
    } else {
        u.out += text;
    }
    Watch(u, true);
}

void Crowd::SendHello(User& u) {
    uint8_t hello[6];
    MakeHello(hello, unsigned(u.id));
    send(u.udp, hello, sizeof hello, 0);
    u.helloAt = Now();
}

// Moves a user on once the step it waited for is complete.
void Crowd::Advance(User& u) {
    if (u.state == State::LoggedIn && u.joins && !silent_) {
        u.state = State::WaitJoin;
        SendTcp(u, JoinLine(u));
    }
}

// A command's "done" arrived: it succeeded when its answer line came before it.
void Crowd::Complete(User& u, bool answered, State next, const char* why) {
    if (!answered) {
        Fail(u, why);
        return;
    }
    u.state = next;
    Advance(u);
}

// A watching client's line once it is in: round trips, "done"s, then the mode's hook.
bool Crowd::OnWatchedLine(User& u, const std::string& word, const std::string& line) {
    if (!u.watch || (u.state != State::LoggedIn && u.state != State::Ready)) return false;
    if (word == "pong" && u.pingSentAt > 0) {
        pings_.push_back({u.pingSentAt, (Now() - u.pingSentAt) * 1000});
        u.pingSentAt = 0;
    } else if (word == "done") {
        ++u.dones;
    }
    if (hook_) hook_(u, word, line);
    return true;
}

void Crowd::OnLine(User& u, const std::string& line) {
    size_t end = line.find_first_of(" \r\n");
    std::string word = line.substr(0, end);
    if (u.probe == User::Probe::Waiting) {
        // "pwc" is refused with an error to a user who is not logged in.
        if (word == "pwc") u.probe = User::Probe::LoggedIn;
        else if (word == "error") u.probe = User::Probe::LoggedOut;
        return;
    }
    if (word == "error" && u.tolerant && (u.state == State::LoggedIn || u.state == State::Ready)) {
        ++u.errors;
        return;
    }
    if (word == "error") {
        Fail(u, "server said: " + line);
        return;
    }
    if (OnWatchedLine(u, word, line)) return;
    switch (u.state) {
    case State::WaitWelcome:
        if (word == "welcome" && u.plain) {
            u.state = State::Ready;
        } else if (word == "welcome" && u.admin) {
            u.state = State::WaitLogin;
            SendTcp(u, "admin username=\"" + opt_.adminUser + "\" password=\"" + opt_.adminPassword + "\"\r\n");
        } else if (word == "welcome") {
            size_t p = line.find(" userid=");
            if (p == std::string::npos) {
                Fail(u, "welcome without userid");
                return;
            }
            u.id = atoi(line.c_str() + p + 8);
            u.state = State::WaitAck;
            SendHello(u);
        }
        break;
    case State::WaitLogin:
        if (word == "accepted" || (u.admin && word == "ok")) u.accepted = true;
        else if (word == "addchannel") ++u.addchannels;
        else if (word == "done") Complete(u, u.accepted, State::LoggedIn, "done without accepted");
        break;
    case State::WaitJoin:
        if (word == "joined") u.joined = true;
        else if (word == "adduser") ++u.addusers;
        else if (word == "done") Complete(u, u.joined, State::Ready, "done without joined");
        break;
    default: break;
    }
}

void Crowd::OnTcp(User& u, uint32_t events) {
    if ((events & EPOLLOUT) && !u.out.empty()) {
        ssize_t n = send(u.tcp, u.out.data(), u.out.size(), MSG_NOSIGNAL);
        if (n > 0) u.out.erase(0, size_t(n));
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(u, std::string("send: ") + strerror(errno));
            return;
        }
        if (u.out.empty()) Watch(u, false);
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    static char buf[65536];
    for (;;) {
        ssize_t n = recv(u.tcp, buf, sizeof buf, 0);
        if (n == 0) {
            Fail(u, "connection closed by the server");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            Fail(u, std::string("recv: ") + strerror(errno));
            return;
        }
        // A keep-alive's answer is not the storm's traffic: it must not keep a quiet from coming.
        if (!u.urgent && !(n == 6 && memcmp(buf, "pong\r\n", 6) == 0)) lastTcpData_ = Now();
        bytesIn_ += uint64_t(n);
        uint64_t lines = 0;
        for (const char* p = buf; (p = static_cast<const char*>(memchr(p, '\n', size_t(buf + n - p)))); ++p) ++lines;
        linesIn_ += lines;
        u.lines += lines;
        // Settled users only need their socket drained: broadcasts about others are not read.
        bool parse = u.state == State::WaitWelcome || u.state == State::WaitLogin || u.state == State::WaitJoin ||
                     u.probe == User::Probe::Waiting || u.watch || !u.in.empty();
        if (!parse) continue;
        u.in.append(buf, size_t(n));
        size_t start = 0;
        for (;;) {
            size_t lf = u.in.find('\n', start);
            if (lf == std::string::npos) break;
            OnLine(u, u.in.substr(start, lf + 1 - start));
            start = lf + 1;
            if (u.state == State::Failed || u.tcp < 0) return;
        }
        u.in.erase(0, start);
        if ((u.state == State::LoggedIn || u.state == State::Ready) && u.probe != User::Probe::Waiting && !u.watch)
            u.in.clear();
    }
}

void Crowd::OnUdp(User& u) {
    const int kBatch = 64;
    static UdpBatch<kBatch, kMaxDatagram + 1> batch;
    for (;;) {
        int n = batch.Receive(u.udp);
        if (n == 0) return;
        uint64_t now = NowNs();
        for (int i = 0; i < n; ++i) {
            uint64_t arrived = now;
            timespec at;
            if (!opt_.userTime && batch.ReceivedAt(i, at)) arrived = voice_.FromRealtime(at);
            const uint8_t* p = batch.Data(i);
            unsigned len = batch.Length(i);
            if (len >= 6 && p[0] == kAck) {
                if (u.state == State::WaitAck) {
                    if (silent_) {
                        // No voice here, and two sockets per user would pass the open-file
                        // limit at 10,000 users: the address stays bound at the server.
                        epoll_ctl(epoll_, EPOLL_CTL_DEL, u.udp, nullptr);
                        close(u.udp);
                        u.udp = -1;
                    }
                    if (opt_.relay) {
                        u.state = State::Ready;
                    } else {
                        u.state = State::WaitLogin;
                        SendTcp(u, LoginLine("u" + std::to_string(u.index)) + "\r\n");
                    }
                }
            } else {
                voice_.OnCopy(p, len, arrived, uint32_t(u.index));
            }
        }
        if (n < kBatch || u.udp < 0) return;
    }
}

bool Crowd::StartUser(User& u) {
    // Keep-alives spread over their interval, as clients that came at different times send
    // them: 4,000 at the same instant would measure this program's bunching, not a server's load.
    u.lastPing = Now() - opt_.keepalive * double(u.index % 6000) / 6000.0;
    if (u.plain || u.admin) return StartTcp(u);  // no voice: the minimal broadcaster, file data, the administrator
    u.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (u.udp < 0) {
        Fail(u, std::string("udp socket: ") + strerror(errno));
        return false;
    }
    if (!silent_) {
        int one = 1;
        setsockopt(u.udp, SOL_SOCKET, SO_RCVBUF, &opt_.rcvbuf, sizeof opt_.rcvbuf);
        setsockopt(u.udp, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    }
    sockaddr_in any = Loopback(0);
    sockaddr_in server = Loopback(opt_.udpPort);
    if (bind(u.udp, (sockaddr*)&any, sizeof any) != 0 || connect(u.udp, (sockaddr*)&server, sizeof server) != 0) {
        Fail(u, std::string("udp bind/connect: ") + strerror(errno));
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = (uint64_t(u.index) << 1) | 1;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, u.udp, &ev);
    if (opt_.relay) {
        u.id = u.index + 1;
        u.state = State::WaitAck;
        SendHello(u);
        return true;
    }
    return StartTcp(u);
}

bool Crowd::StartTcp(User& u) {
    u.tcp = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (u.tcp < 0) {
        Fail(u, std::string("tcp socket: ") + strerror(errno));
        return false;
    }
    int one = 1;
    setsockopt(u.tcp, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in tcpServer = Loopback(opt_.tcpPort);
    if (connect(u.tcp, (sockaddr*)&tcpServer, sizeof tcpServer) != 0 && errno != EINPROGRESS) {
        Fail(u, std::string("connect: ") + strerror(errno));
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = uint64_t(u.index) << 1;
    epoll_ctl(EpollOf(u), EPOLL_CTL_ADD, u.tcp, &ev);
    u.state = State::WaitWelcome;
    return true;
}
