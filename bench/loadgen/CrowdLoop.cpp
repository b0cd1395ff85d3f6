// The clients' event loop and the waits built on it: set-up, pumping, bounded waits for a
// state or a quiet, keep-alives, the pinging client's ticks and the login check.
#include <sys/epoll.h>

#include <algorithm>
#include <cstdio>

#include "BenchNet.h"
#include "Crowd.h"
#include "ProcStats.h"

bool Crowd::Setup(int crowd, int extra, bool silent) {
    silent_ = silent;
    crowd_ = crowd;
    epoll_ = epoll_create1(0);
    urgentEpoll_ = epoll_create1(0);
    if (epoll_ < 0 || urgentEpoll_ < 0) return false;
    epoll_event urgent{};
    urgent.events = EPOLLIN;
    urgent.data.u64 = UINT64_MAX;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, urgentEpoll_, &urgent);
    const int total = crowd + extra;
    RaiseFileLimit(silent ? total + opt_.window + 64 : 2 * total + 64);
    users_.resize(size_t(total));
    int perChannel = std::max(1, crowd / std::max(1, opt_.channels));
    members_.assign(size_t(opt_.channels), 0);
    for (int i = 0; i < total; ++i) {
        User& u = users_[size_t(i)];
        u.index = i;
        u.plain = opt_.minimal;
        if (silent || i >= crowd) {
            u.channel = 0;
            u.joins = i < opt_.joiners && i < crowd;
        } else {
            u.channel = std::min(i / perChannel, opt_.channels - 1);
            u.talker = (i - u.channel * perChannel) < opt_.talkers;
            ++members_[size_t(u.channel)];
            if (u.talker) talkers_.push_back(i);
        }
    }
    return true;
}

std::vector<int> Crowd::Members() const {
    std::vector<int> all;
    for (int i = 0; i < crowd_; ++i) all.push_back(i);
    return all;
}

std::vector<int> Crowd::Joiners() const {
    std::vector<int> joiners;
    for (int i = 0; i < crowd_; ++i)
        if (users_[size_t(i)].joins) joiners.push_back(i);
    return joiners;
}

void Crowd::SetPinger(int index) {
    User& u = users_[size_t(index)];
    u.joins = false;
    u.watch = true;
    u.urgent = true;
    pinger_ = index;
}

// The pinging client is served first and again between every few other sockets, so that
// its round trips measure the server, not this program's turn through thousands of sockets.
void Crowd::PollUrgent() {
    if (urgentEpoll_ < 0 || pinger_ < 0) return;
    epoll_event events[4];
    int n = epoll_wait(urgentEpoll_, events, 4, 0);
    for (int i = 0; i < n; ++i) {
        User& u = users_[events[i].data.u64 >> 1];
        if (u.tcp >= 0) OnTcp(u, events[i].events);
    }
}

void Crowd::Pump(int timeoutMs) {
    timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000};
    Pump(timeoutMs < 0 ? nullptr : &timeout);
}

void Crowd::PumpUntil(double due) {
    double wait = std::max(0.0, due - Now());
    timespec timeout{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
    Pump(&timeout);
}

void Crowd::Pump(const timespec* timeout) {
    epoll_event events[1024];
    PollUrgent();
    int n = epoll_pwait2(epoll_, events, 1024, timeout, nullptr);
    for (int i = 0; i < n; ++i) {
        uint64_t key = events[i].data.u64;
        if (key == UINT64_MAX || i % 16 == 15) {
            PollUrgent();
            if (key == UINT64_MAX) continue;
        }
        User& u = users_[key >> 1];
        if (key & 1) {
            if (u.udp >= 0) OnUdp(u);
        } else if (u.tcp >= 0) {
            OnTcp(u, events[i].events);
        }
    }
}

static bool IsSettled(State s, State target) {
    if (s == State::Failed) return true;
    if (target == State::Ready) return s == State::Ready;
    return s == State::LoggedIn || s == State::Ready;
}

static bool InFlight(State s) {
    return s == State::WaitWelcome || s == State::WaitAck || s == State::WaitLogin || s == State::WaitJoin;
}

bool Crowd::WaitFor(State target, const std::vector<int>& which, double timeout, double& elapsed) {
    double start = Now();
    double until = std::min(start + timeout, deadline_);
    size_t next = 0;
    int inFlight = 0;
    for (;;) {
        double now = Now();
        inFlight = 0;
        size_t settled = 0;
        for (size_t k = 0; k < next; ++k) {
            User& u = users_[size_t(which[k])];
            if (IsSettled(u.state, target)) ++settled;
            else if (InFlight(u.state) || u.state == State::Connecting || u.state == State::LoggedIn) ++inFlight;
            if (u.state == State::WaitAck && now - u.helloAt > 0.25)
                SendHello(u);  // datagrams can be lost; the hello is safe to repeat
        }
        while (next < which.size() && inFlight < opt_.window) {
            User& u = users_[size_t(which[next++])];
            if (u.state == State::Connecting) StartUser(u);
            else if (u.state == State::LoggedIn && target == State::Ready) {
                u.state = State::WaitJoin;
                SendTcp(u, JoinLine(u));
            }
            ++inFlight;
            if (next % 64 == 0) PollUrgent();  // starting hundreds of users takes a while: the pinging client first
        }
        if (settled == which.size()) break;
        KeepAlive();
        if (now > until) {
            fprintf(stderr, "loadgen: timed out with %zu of %zu users settled\n", settled, which.size());
            elapsed = Now() - start;
            return false;
        }
        Pump(5);
    }
    elapsed = Now() - start;
    for (int k : which)
        if (users_[size_t(k)].state == State::Failed) return false;
    return true;
}

bool Crowd::WaitQuiet(double quietSeconds, double timeout) {
    double until = std::min(Now() + timeout, deadline_);
    lastTcpData_ = Now();
    while (Now() - lastTcpData_ < quietSeconds) {
        if (Now() > until) return false;
        Pump(10);
        KeepAlive();
    }
    return true;
}

// Sends "ping" for users whose last one is --keepalive seconds old; checks every 10 ms.
void Crowd::KeepAlive() {
    double now = Now();
    PingTick();
    SampleServer();
    if (opt_.relay || now - lastKeepAlive_ < 0.01) return;
    lastKeepAlive_ = now;
    for (User& u : users_)
        if ((u.state == State::LoggedIn || u.state == State::Ready) && !u.plain && now - u.lastPing > opt_.keepalive) {
            SendTcp(u, "ping\r\n");
            u.lastPing = now;
        }
}

// The watching client's next "ping", once the last one was answered and the interval passed.
void Crowd::PingTick() {
    if (pinger_ < 0) return;
    User& u = users_[size_t(pinger_)];
    double now = Now();
    if ((u.state != State::LoggedIn && u.state != State::Ready) || u.pingSentAt > 0 ||
        now - lastPing_ < opt_.pingInterval)
        return;
    u.pingSentAt = now;
    u.lastPing = lastPing_ = now;
    SendTcp(u, "ping\r\n");
}

void Crowd::SampleServer() {
    double now = Now();
    if (opt_.serverPid <= 0 || now - lastSample_ < 0.1) return;
    lastSample_ = now;
    rssPeak_ = std::max(rssPeak_, ProcessRssKiB(opt_.serverPid));
}

void Crowd::CheckLogins(const std::vector<int>& which, int& still, int& lost) {
    still = lost = 0;
    for (int k : which) {
        User& u = users_[size_t(k)];
        if (u.state == State::LoggedIn || u.state == State::Ready) {
            u.probe = User::Probe::Waiting;
            u.in.clear();
            SendTcp(u, "pwc\r\n");
        }
    }
    double until = std::min(Now() + 60, deadline_);
    for (;;) {
        int waiting = 0;
        for (int k : which) waiting += users_[size_t(k)].probe == User::Probe::Waiting;
        if (waiting == 0 || Now() > until) break;
        Pump(10);
        KeepAlive();
    }
    for (int k : which) {
        User& u = users_[size_t(k)];
        still += u.probe == User::Probe::LoggedIn;
        lost += u.probe == User::Probe::LoggedOut;
        u.probe = User::Probe::None;
    }
}

std::vector<double> Crowd::PingsSince(size_t from, double until) const {
    std::vector<double> ms;
    for (size_t k = from; k < pings_.size(); ++k)
        if (pings_[k].sentAt <= until) ms.push_back(pings_[k].ms);
    if (pinger_ >= 0) {
        const User& p = users_[size_t(pinger_)];
        if (p.pingSentAt > 0 && p.pingSentAt <= until) ms.push_back((Now() - p.pingSentAt) * 1000);
    }
    return ms;
}
