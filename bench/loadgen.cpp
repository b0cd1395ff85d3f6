// Load generator for the voice server. Connects many users over loopback (TCP login and
// join, UDP hello), has some of them talk and the rest listen, and reports delivered
// copies, loss, one-way latency and the server's CPU time; or, in --scale mode, logs in
// thousands of users at once and reports the time taken and the server's memory per user;
// or, in --storm mode, makes a control-plane storm (logins and joins, or one client's burst
// of joins) and reports the broadcast lines delivered, the server's CPU time per line and
// memory, and how long another client waited for its "ping" answers.
// Single-threaded: one epoll loop serves every socket, so the numbers it reports are what
// one core of client work can observe. Every wait has a deadline.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "UdpBatch.h"

namespace {

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

struct Options {
    bool relay = false;
    bool scale = false;
    bool search = false;
    bool storm = false;
    bool minimal = false;  // --storm against bench/minbroadcast: plain lines, no login
    int tcpPort = 10300;
    int udpPort = 10301;
    int users = 10;
    int channels = 1;
    int talkers = 1;      // per channel
    int size = 100;       // whole audio packet, header included
    double rate = 50;     // packets/s per talker; 0 = flat out
    double duration = 5;  // measured seconds of one run
    double warmup = 0.5;
    int serverPid = 0;
    int joiners = 1000;   // scale mode: users that join the one channel
    int window = 512;     // users whose login is in flight at once
    double setupTimeout = 60;
    double maxTime = 600;  // the whole program
    double maxLoss = 0.1;  // percent, for --search
    double startRate = 0;  // --search: first total offered packets/s
    int steps = 12;        // --search: most rates tried
    int retries = 1;       // --search: further tries of a rate that failed
    int rcvbuf = 1 << 20;
    std::string dump;  // file for every latency sample of the last phase
    bool userTime = false;  // latency to when this program reads a copy, not to its arrival
    bool realtime = false;  // talk at real-time priority, sleeping to each packet's due time
    double stallProbe = 0;  // seconds of the host-stall probe; 0 = no probe
    std::string channel = "/c0/";  // the channel of --scale and --storm joins
    int burst = 0;                 // --storm: joins one client sends at once, after the logins
    int burstChannels = 2;         // the burst's joins cycle over /burst0/ .. this many
    double pingInterval = 0.02;    // --storm: the watching client's pings
    double settle = 35;            // --storm: seconds after the storm users left, for RSS
    long lines = 0, lineBytes = 0; // --minimal: lines per connection and their size
    std::string stopFile;          // audio phase ends early once this file exists
    std::string windowFile;        // "from_ns to_ns": latency figures for that window too
};

const uint8_t kHello = 1;
const uint8_t kAck = 2;
const uint8_t kAudioIn = 4;
const uint8_t kAudioOut = 5;
const int kMaxDatagram = 512;
// Payload layout after the 8-byte audio header: send time (CLOCK_MONOTONIC ns), sequence,
// phase tag.
const int kStampOffset = 8;
const int kSeqOffset = 16;
const int kPhaseOffset = 20;
const int kMinSize = 24;

enum class State { Connecting, WaitWelcome, WaitAck, WaitLogin, LoggedIn, WaitJoin, Ready, Failed };

struct User {
    int index = 0;
    int id = 0;
    int channel = 0;
    bool talker = false;
    bool joins = true;
    int tcp = -1;
    int udp = -1;
    State state = State::Connecting;
    std::string in;
    std::string out;
    double helloAt = 0;
    double lastPing = 0;
    uint32_t seq = 0;
    double nextSend = 0;
    // Lines seen, kept for the extra client of --scale.
    int addchannels = 0;
    int addusers = 0;
    bool accepted = false;
    bool joined = false;
    // A "pwc" sent to learn whether the server still counts the user as logged in.
    enum class Probe { None, Waiting, LoggedIn, LoggedOut } probe = Probe::None;
    std::string error;
    bool watch = false;   // every line is read: the pinging and the bursting clients
    bool urgent = false;  // served before every other socket: the pinging client
    int dones = 0;
    double pingSentAt = 0;  // 0 = no ping outstanding
};

void Put16(uint8_t* p, unsigned v)
{
    p[0] = uint8_t(v & 0xff);
    p[1] = uint8_t((v >> 8) & 0xff);
}

unsigned Get16(const uint8_t* p) { return unsigned(p[0]) | (unsigned(p[1]) << 8); }

sockaddr_in Loopback(int port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// utime + stime of a process in seconds; -1 when it cannot be read.
double ProcessCpu(int pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    // Fields after the command name start at field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i < 14 && rest >> field; ++i) {
    }
    unsigned long long utime = 0, stime = 0;
    if (!(rest >> utime >> stime))
        return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// VmRSS in KiB; -1 when it cannot be read.
long ProcessRssKiB(int pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return atol(line.c_str() + 6);
    return -1;
}

// Time the host took the virtual CPUs away from this machine (steal), all CPUs, in ms.
double StealMs()
{
    std::ifstream f("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {0};
    if (!(f >> cpu) || cpu != "cpu")
        return 0;
    for (auto& x : v)
        f >> x;
    return double(v[7]) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// Datagrams the kernel dropped for lack of buffer: on the sockets bound to the voice port
// (the server's) and on the sockets connected to it (ours).
void UdpDrops(int port, uint64_t& serverDrops, uint64_t& clientDrops)
{
    serverDrops = clientDrops = 0;
    std::ifstream f("/proc/net/udp");
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        unsigned local = 0, localPort = 0, remote = 0, remotePort = 0;
        if (sscanf(line.c_str(), " %*d: %8X:%4X %8X:%4X", &local, &localPort, &remote, &remotePort) != 4)
            continue;
        size_t last = line.find_last_not_of(" \n");
        size_t start = line.find_last_of(' ', last);
        uint64_t drops = strtoull(line.c_str() + start + 1, nullptr, 10);
        if (int(localPort) == port)
            serverDrops += drops;
        else if (int(remotePort) == port)
            clientDrops += drops;
    }
}

struct PhaseResult {
    double offeredRate = 0;  // packets/s the talkers were asked for, all together
    double sentRate = 0;     // packets/s they managed
    double deliveredRate = 0;
    uint64_t sent = 0;
    uint64_t expected = 0;
    uint64_t delivered = 0;
    double lossPct = 0;
    double p50us = 0, p99us = 0, p999us = 0, maxus = 0;
    double cpuPerCopyUs = -1;
    double cpuShare = -1;
    uint64_t serverDrops = 0, clientDrops = 0;
    double stealMs = 0;
    double seconds = 0;
};

class LoadGen {
public:
    explicit LoadGen(const Options& o) : opt_(o) {}

    int Run();

private:
    bool RaiseFileLimit(int needed);
    bool Setup();
    bool StartUser(User& u);
    bool StartTcp(User& u);
    void Pump(int timeoutMs);
    void Pump(const timespec* timeout);
    void PumpUntil(double due);
    void OnTcp(User& u, uint32_t events);
    void OnUdp(User& u);
    void OnLine(User& u, const std::string& line);
    void SendHello(User& u);
    void SendTcp(User& u, const std::string& text);
    void Fail(User& u, const std::string& why);
    void Advance(User& u);
    void Complete(User& u, bool answered, State next, const char* why);
    bool WaitFor(State target, const std::vector<int>& which, double timeout, double& elapsed);
    bool WaitQuiet(double quietSeconds, double timeout);
    void CheckLogins(const std::vector<int>& which, int& still, int& lost);
    void KeepAlive();
    PhaseResult RunPhase(double perTalkerRate, double seconds);
    int RunAudio();
    int RunSearch();
    int RunScale();
    int RunExtraClient();
    int RunStorm();
    int RunMinimal();
    void PrintPhase(const char* tag, const PhaseResult& r);
    void PrintWindow();
    int MembersOf(int channel) const { return members_[channel]; }
    // Users without voice: their UDP socket only says hello and is closed after the answer.
    bool Silent() const { return opt_.scale || opt_.storm; }
    int EpollOf(const User& u) const { return u.urgent ? urgentEpoll_ : epoll_; }
    std::string JoinLine(const User& u) const;
    void PollUrgent();
    void PingTick();
    void SampleServer();
    void CloseUser(User& u);
    void CloseTcp(User& u);

    Options opt_;
    int epoll_ = -1;
    int urgentEpoll_ = -1;  // the pinging client's socket; itself watched by epoll_
    std::vector<User> users_;
    std::vector<int> members_;
    std::vector<int> talkers_;
    double deadline_ = 0;
    double lastTcpData_ = 0;
    double lastKeepAlive_ = 0;
    int failures_ = 0;
    // Audio accounting for the phase being measured.
    uint16_t phaseTag_ = 0;
    uint64_t copies_ = 0;
    std::vector<uint32_t> latencies_;
    struct Sample {
        uint64_t sentAt, receivedAt;
        uint32_t seq, listener;
    };
    std::vector<Sample> samples_;
    uint64_t realtimeOffset_ = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC, in ns
    double lastAudio_ = 0;
    // Storm accounting: lines and bytes read on every TCP socket, the pinging client's
    // answers (when sent, round trip in ms), the server's largest RSS seen.
    uint64_t linesIn_ = 0, bytesIn_ = 0;
    struct Ping {
        double sentAt, ms;
    };
    std::vector<Ping> pings_;
    int pinger_ = -1, burster_ = -1;
    double lastPing_ = 0, lastSample_ = 0;
    long rssPeak_ = -1;
};

bool LoadGen::RaiseFileLimit(int needed)
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return false;
    if (rl.rlim_cur >= rlim_t(needed))
        return true;
    rlimit want = rl;
    want.rlim_cur = rlim_t(needed);
    if (want.rlim_max < want.rlim_cur)
        want.rlim_max = want.rlim_cur;  // root may raise the hard limit too
    if (setrlimit(RLIMIT_NOFILE, &want) == 0)
        return true;
    want.rlim_cur = rl.rlim_max;
    want.rlim_max = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &want);
    fprintf(stderr, "loadgen: cannot raise the open-file limit to %d (hard limit %llu)\n", needed,
            (unsigned long long)rl.rlim_max);
    return false;
}

void LoadGen::Fail(User& u, const std::string& why)
{
    if (u.state == State::Failed)
        return;
    if (failures_ < 5)
        fprintf(stderr, "loadgen: user %d (id %d): %s\n", u.index, u.id, why.c_str());
    ++failures_;
    u.state = State::Failed;
    u.error = why;
    // The UDP socket stays: this may run inside its own receive loop.
    CloseTcp(u);
}

void LoadGen::CloseTcp(User& u)
{
    if (u.tcp >= 0) {
        epoll_ctl(EpollOf(u), EPOLL_CTL_DEL, u.tcp, nullptr);
        close(u.tcp);
        u.tcp = -1;
    }
}

void LoadGen::CloseUser(User& u)
{
    CloseTcp(u);
    if (u.udp >= 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, u.udp, nullptr);
        close(u.udp);
        u.udp = -1;
    }
}

std::string LoadGen::JoinLine(const User& u) const
{
    const std::string channel = Silent() ? opt_.channel : "/c" + std::to_string(u.channel) + "/";
    return "join channel=\"" + channel + "\"\r\n";
}

void LoadGen::SendTcp(User& u, const std::string& text)
{
    if (u.tcp < 0)
        return;
    if (u.out.empty()) {
        ssize_t n = send(u.tcp, text.data(), text.size(), MSG_NOSIGNAL);
        if (n == ssize_t(text.size()))
            return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(u, std::string("send: ") + strerror(errno));
            return;
        }
        u.out.assign(text, n > 0 ? size_t(n) : 0, std::string::npos);
    } else {
        u.out += text;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u64 = uint64_t(u.index) << 1;
    epoll_ctl(EpollOf(u), EPOLL_CTL_MOD, u.tcp, &ev);
}

void LoadGen::SendHello(User& u)
{
    uint8_t hello[6] = {kHello, 3, 6, 0, 0, 0};
    Put16(hello + 4, unsigned(u.id));
    send(u.udp, hello, sizeof hello, 0);
    u.helloAt = Now();
}

// Moves a user on once the step it waited for is complete.
void LoadGen::Advance(User& u)
{
    if (u.state == State::LoggedIn && u.joins && !Silent()) {
        u.state = State::WaitJoin;
        SendTcp(u, JoinLine(u));
    }
}

// A command's "done" arrived: it succeeded when its answer line came before it.
void LoadGen::Complete(User& u, bool answered, State next, const char* why)
{
    if (!answered) {
        Fail(u, why);
        return;
    }
    u.state = next;
    Advance(u);
}

void LoadGen::OnLine(User& u, const std::string& line)
{
    size_t end = line.find_first_of(" \r\n");
    std::string word = line.substr(0, end);
    if (u.probe == User::Probe::Waiting) {
        // "pwc" is refused with an error to a user who is not logged in.
        if (word == "pwc")
            u.probe = User::Probe::LoggedIn;
        else if (word == "error")
            u.probe = User::Probe::LoggedOut;
        return;
    }
    if (word == "error") {
        Fail(u, "server said: " + line);
        return;
    }
    if (u.watch && (u.state == State::LoggedIn || u.state == State::Ready)) {
        if (word == "pong" && u.pingSentAt > 0) {
            pings_.push_back({u.pingSentAt, (Now() - u.pingSentAt) * 1000});
            u.pingSentAt = 0;
        } else if (word == "done") {
            ++u.dones;
        }
        return;
    }
    switch (u.state) {
    case State::WaitWelcome:
        if (word == "welcome" && opt_.minimal) {
            u.state = State::Ready;
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
        if (word == "accepted")
            u.accepted = true;
        else if (word == "addchannel")
            ++u.addchannels;
        else if (word == "done")
            Complete(u, u.accepted, State::LoggedIn, "done without accepted");
        break;
    case State::WaitJoin:
        if (word == "joined")
            u.joined = true;
        else if (word == "adduser")
            ++u.addusers;
        else if (word == "done")
            Complete(u, u.joined, State::Ready, "done without joined");
        break;
    default:
        break;
    }
}

void LoadGen::OnTcp(User& u, uint32_t events)
{
    if ((events & EPOLLOUT) && !u.out.empty()) {
        ssize_t n = send(u.tcp, u.out.data(), u.out.size(), MSG_NOSIGNAL);
        if (n > 0)
            u.out.erase(0, size_t(n));
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(u, std::string("send: ") + strerror(errno));
            return;
        }
        if (u.out.empty()) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = uint64_t(u.index) << 1;
            epoll_ctl(EpollOf(u), EPOLL_CTL_MOD, u.tcp, &ev);
        }
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return;
    static char buf[65536];
    for (;;) {
        ssize_t n = recv(u.tcp, buf, sizeof buf, 0);
        if (n == 0) {
            Fail(u, "connection closed by the server");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR)
                continue;
            Fail(u, std::string("recv: ") + strerror(errno));
            return;
        }
        // A keep-alive's answer is not the storm's traffic: it must not keep a quiet from coming.
        if (!u.urgent && !(n == 6 && memcmp(buf, "pong\r\n", 6) == 0))
            lastTcpData_ = Now();
        bytesIn_ += uint64_t(n);
        for (const char* p = buf; (p = static_cast<const char*>(memchr(p, '\n', size_t(buf + n - p)))); ++p)
            ++linesIn_;
        // Settled users only need their socket drained: broadcasts about others are not read.
        bool parse = u.state == State::WaitWelcome || u.state == State::WaitLogin || u.state == State::WaitJoin ||
                     u.probe == User::Probe::Waiting || u.watch || !u.in.empty();
        if (!parse)
            continue;
        u.in.append(buf, size_t(n));
        size_t start = 0;
        for (;;) {
            size_t lf = u.in.find('\n', start);
            if (lf == std::string::npos)
                break;
            OnLine(u, u.in.substr(start, lf + 1 - start));
            start = lf + 1;
            if (u.state == State::Failed)
                return;
        }
        u.in.erase(0, start);
        if ((u.state == State::LoggedIn || u.state == State::Ready) && u.probe != User::Probe::Waiting && !u.watch)
            u.in.clear();
    }
}

void LoadGen::OnUdp(User& u)
{
    const int kBatch = 64;
    static UdpBatch<kBatch, kMaxDatagram + 1> batch;
    for (;;) {
        int n = batch.Receive(u.udp);
        if (n == 0)
            return;
        uint64_t now = NowNs();
        for (int i = 0; i < n; ++i) {
            uint64_t arrived = now;
            timespec at;
            if (!opt_.userTime && batch.ReceivedAt(i, at))
                arrived = uint64_t(at.tv_sec) * 1000000000ull + uint64_t(at.tv_nsec) - realtimeOffset_;
            const uint8_t* p = batch.Data(i);
            unsigned len = batch.Length(i);
            if (len >= 6 && p[0] == kAck) {
                if (u.state == State::WaitAck) {
                    if (Silent()) {
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
                        SendTcp(u, "login protocol=\"3.4\" nickname=\"u" + std::to_string(u.index) +
                                       "\" serverpassword=\"\" bandmode=0 framesize=320 "
                                       "encodedframesize=40 fpp=1 version=\"bench\"\r\n");
                    }
                }
            } else if (len >= unsigned(kMinSize) && p[0] == kAudioIn) {
                uint16_t tag = uint16_t(Get16(p + kPhaseOffset));
                if (tag != 0 && tag == phaseTag_) {
                    ++copies_;
                    uint64_t sentAt;
                    memcpy(&sentAt, p + kStampOffset, sizeof sentAt);
                    uint64_t d = arrived > sentAt ? arrived - sentAt : 0;
                    latencies_.push_back(uint32_t(std::min<uint64_t>(d, UINT32_MAX)));
                    if (!opt_.dump.empty() || !opt_.windowFile.empty()) {
                        uint32_t seq;
                        memcpy(&seq, p + kSeqOffset, sizeof seq);
                        samples_.push_back({sentAt, arrived, seq, uint32_t(u.index)});
                    }
                }
                lastAudio_ = Now();
            }
        }
        if (n < kBatch)
            return;
    }
}

// The pinging client is served first and again between every few other sockets, so that
// its round trips measure the server, not this program's turn through thousands of sockets.
void LoadGen::PollUrgent()
{
    if (urgentEpoll_ < 0 || pinger_ < 0)
        return;
    epoll_event events[4];
    int n = epoll_wait(urgentEpoll_, events, 4, 0);
    for (int i = 0; i < n; ++i) {
        User& u = users_[events[i].data.u64 >> 1];
        if (u.tcp >= 0)
            OnTcp(u, events[i].events);
    }
}

void LoadGen::Pump(int timeoutMs)
{
    timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000};
    Pump(timeoutMs < 0 ? nullptr : &timeout);
}

// Waits to the nanosecond: a talker at real-time priority sleeps to its next packet instead
// of spinning through its last millisecond.
void LoadGen::PumpUntil(double due)
{
    double wait = std::max(0.0, due - Now());
    timespec timeout{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
    Pump(&timeout);
}

void LoadGen::Pump(const timespec* timeout)
{
    epoll_event events[1024];
    PollUrgent();
    int n = epoll_pwait2(epoll_, events, 1024, timeout, nullptr);
    for (int i = 0; i < n; ++i) {
        uint64_t key = events[i].data.u64;
        if (key == UINT64_MAX || i % 16 == 15) {
            PollUrgent();
            if (key == UINT64_MAX)
                continue;
        }
        User& u = users_[key >> 1];
        if (key & 1)
            OnUdp(u);
        else if (u.tcp >= 0)
            OnTcp(u, events[i].events);
    }
}

bool LoadGen::StartUser(User& u)
{
    // Keep-alives spread over the minute, as clients that came at different times send them:
    // 4,000 at the same instant would measure this program's bunching, not a server's load.
    u.lastPing = Now() - double(u.index % 6000) * 0.01;
    if (opt_.minimal)
        return StartTcp(u);  // the minimal broadcaster has no voice and no login
    u.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (u.udp < 0) {
        Fail(u, std::string("udp socket: ") + strerror(errno));
        return false;
    }
    if (!Silent()) {
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

bool LoadGen::StartTcp(User& u)
{
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

bool IsSettled(State s, State target)
{
    if (s == State::Failed)
        return true;
    if (target == State::Ready)
        return s == State::Ready;
    return s == State::LoggedIn || s == State::Ready;
}

bool InFlight(State s)
{
    return s == State::WaitWelcome || s == State::WaitAck || s == State::WaitLogin || s == State::WaitJoin;
}

// Starts the listed users (at most opt_.window in flight) and runs the loop until each of
// them has reached the target state or failed, or the timeout passed.
bool LoadGen::WaitFor(State target, const std::vector<int>& which, double timeout, double& elapsed)
{
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
            if (IsSettled(u.state, target))
                ++settled;
            else if (InFlight(u.state) || u.state == State::Connecting || u.state == State::LoggedIn)
                ++inFlight;
            if (u.state == State::WaitAck && now - u.helloAt > 0.25)
                SendHello(u);  // datagrams can be lost; the hello is safe to repeat
        }
        while (next < which.size() && inFlight < opt_.window) {
            User& u = users_[size_t(which[next++])];
            if (u.state == State::Connecting)
                StartUser(u);
            else if (u.state == State::LoggedIn && target == State::Ready) {
                u.state = State::WaitJoin;
                SendTcp(u, JoinLine(u));
            }
            ++inFlight;
            if (next % 64 == 0)
                PollUrgent();  // starting hundreds of users takes a while: the pinging client first
        }
        if (settled == which.size())
            break;
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
        if (users_[size_t(k)].state == State::Failed)
            return false;
    return true;
}

// Runs the loop until no TCP data arrived for quietSeconds.
bool LoadGen::WaitQuiet(double quietSeconds, double timeout)
{
    double until = std::min(Now() + timeout, deadline_);
    lastTcpData_ = Now();
    while (Now() - lastTcpData_ < quietSeconds) {
        if (Now() > until)
            return false;
        Pump(10);
        KeepAlive();
    }
    return true;
}

// Sends "ping" for users whose last one is a minute old; checks every 10 ms.
void LoadGen::KeepAlive()
{
    double now = Now();
    PingTick();
    SampleServer();
    if (opt_.relay || now - lastKeepAlive_ < 0.01)
        return;
    lastKeepAlive_ = now;
    for (User& u : users_)
        if ((u.state == State::LoggedIn || u.state == State::Ready) && now - u.lastPing > 60) {
            SendTcp(u, "ping\r\n");
            u.lastPing = now;
        }
}

// The watching client's next "ping", once the last one was answered and the interval passed.
void LoadGen::PingTick()
{
    if (pinger_ < 0)
        return;
    User& u = users_[size_t(pinger_)];
    double now = Now();
    if ((u.state != State::LoggedIn && u.state != State::Ready) || u.pingSentAt > 0 ||
        now - lastPing_ < opt_.pingInterval)
        return;
    u.pingSentAt = now;
    u.lastPing = lastPing_ = now;
    SendTcp(u, "ping\r\n");
}

void LoadGen::SampleServer()
{
    double now = Now();
    if (opt_.serverPid <= 0 || now - lastSample_ < 0.1)
        return;
    lastSample_ = now;
    rssPeak_ = std::max(rssPeak_, ProcessRssKiB(opt_.serverPid));
}

bool LoadGen::Setup()
{
    epoll_ = epoll_create1(0);
    urgentEpoll_ = epoll_create1(0);
    if (epoll_ < 0 || urgentEpoll_ < 0)
        return false;
    epoll_event urgent{};
    urgent.events = EPOLLIN;
    urgent.data.u64 = UINT64_MAX;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, urgentEpoll_, &urgent);
    // Fresh memory is slow to touch the first time in a virtual machine; do it now rather
    // than while latencies are being recorded.
    latencies_.assign(size_t(1) << 22, 0);
    latencies_.clear();
    // Past the crowd: the extra client of --scale; the pinging and the bursting clients of --storm.
    int total = opt_.users + (opt_.scale ? 1 : 0) + (opt_.storm ? 2 : 0);
    RaiseFileLimit(Silent() || opt_.minimal ? total + opt_.window + 64 : 2 * total + 64);
    users_.resize(size_t(total));
    int perChannel = std::max(1, opt_.users / std::max(1, opt_.channels));
    members_.assign(size_t(opt_.channels), 0);
    for (int i = 0; i < total; ++i) {
        User& u = users_[size_t(i)];
        u.index = i;
        if (Silent() || opt_.minimal) {
            u.channel = 0;
            u.joins = i < opt_.joiners;
        } else {
            u.channel = std::min(i / perChannel, opt_.channels - 1);
            u.talker = (i - u.channel * perChannel) < opt_.talkers;
            ++members_[size_t(u.channel)];
            if (u.talker)
                talkers_.push_back(i);
        }
    }
    if (opt_.storm) {
        pinger_ = opt_.users;
        burster_ = opt_.users + 1;
        for (int k : {pinger_, burster_}) {
            users_[size_t(k)].joins = false;
            users_[size_t(k)].watch = true;
        }
        users_[size_t(pinger_)].urgent = true;
    }
    return true;
}

PhaseResult LoadGen::RunPhase(double perTalkerRate, double seconds)
{
    PhaseResult r;
    std::vector<uint8_t> packet(size_t(opt_.size), 0);
    packet[0] = kAudioOut;
    packet[1] = 3;
    Put16(&packet[2], unsigned(opt_.size));
    Put16(&packet[6], 0);
    for (size_t i = 8; i < packet.size(); ++i)
        packet[i] = uint8_t(i);
    const bool flat = perTalkerRate <= 0;
    const double interval = flat ? 0 : 1.0 / perTalkerRate;
    const int burst = 8;

    static uint16_t nextTag = 0;
    nextTag = uint16_t(nextTag % 60000 + 1);
    const uint16_t tag = nextTag;
    uint64_t expected = 0, sent = 0;
    double cpu0 = -1, t0 = 0, steal0 = 0;
    uint64_t sd0 = 0, cd0 = 0;

    double start = Now();
    double lastStopCheck = 0;
    double measureFrom = start + opt_.warmup;
    double end = measureFrom + seconds;
    bool measuring = false;
    for (size_t k = 0; k < talkers_.size(); ++k)  // spread the talkers over one interval
        users_[size_t(talkers_[k])].nextSend = start + interval * double(k) / double(talkers_.size());
    for (;;) {
        double now = Now();
        if (now >= end || now > deadline_)
            break;
        if (!opt_.stopFile.empty() && now - lastStopCheck >= 0.1) {
            lastStopCheck = now;
            if (access(opt_.stopFile.c_str(), F_OK) == 0)
                break;
        }
        if (!measuring && now >= measureFrom) {
            measuring = true;
            phaseTag_ = tag;
            copies_ = 0;
            latencies_.clear();
            samples_.clear();
            UdpDrops(opt_.udpPort, sd0, cd0);
            cpu0 = ProcessCpu(opt_.serverPid);
            steal0 = StealMs();
            t0 = Now();
        }
        double nextDue = end;
        for (int k : talkers_) {
            User& u = users_[size_t(k)];
            if (u.state != State::Ready)
                continue;
            Put16(&packet[4], unsigned(u.id));
            Put16(&packet[kPhaseOffset], measuring ? tag : 0);
            for (int b = 0; b < burst && (flat || u.nextSend <= now); ++b) {
                uint64_t stamp = NowNs();
                memcpy(&packet[kStampOffset], &stamp, sizeof stamp);
                memcpy(&packet[kSeqOffset], &u.seq, sizeof u.seq);
                ++u.seq;
                if (send(u.udp, packet.data(), packet.size(), 0) == ssize_t(packet.size()) && measuring) {
                    ++sent;
                    expected += uint64_t(MembersOf(u.channel) - 1);
                }
                u.nextSend += interval;
            }
            nextDue = std::min(nextDue, u.nextSend);
        }
        // Sleep until the next packet is due. Latency is taken from the kernel's arrival
        // time stamps, so a slow wake-up here delays sending but does not inflate it, and
        // a core that spins all the time makes the host throttle this machine.
        double wait = nextDue - Now();
        if (opt_.realtime && !flat)
            PumpUntil(nextDue);
        else
            Pump(flat || wait < 0.0015 ? 0 : int(wait * 1000) - 1);
        KeepAlive();
    }
    double sendEnd = Now();
    // Let the copies in flight arrive: stop at 100 ms without audio, or after 1 s.
    lastAudio_ = Now();
    while (Now() - lastAudio_ < 0.1 && Now() - sendEnd < 1.0)
        Pump(5);
    double cpu1 = ProcessCpu(opt_.serverPid);
    uint64_t sd1 = 0, cd1 = 0;
    UdpDrops(opt_.udpPort, sd1, cd1);
    phaseTag_ = 0;

    double measured = sendEnd - t0;
    r.seconds = measured;
    r.offeredRate = flat ? 0 : perTalkerRate * double(talkers_.size());
    r.sent = sent;
    r.expected = expected;
    r.delivered = copies_;
    r.sentRate = measured > 0 ? double(sent) / measured : 0;
    r.deliveredRate = measured > 0 ? double(copies_) / measured : 0;
    r.lossPct = expected ? 100.0 * (double(expected) - double(std::min(copies_, expected))) / double(expected) : 0;
    r.serverDrops = sd1 - sd0;
    r.stealMs = StealMs() - steal0;
    r.clientDrops = cd1 - cd0;
    if (cpu0 >= 0 && cpu1 >= 0) {
        r.cpuShare = measured > 0 ? (cpu1 - cpu0) / measured : -1;
        r.cpuPerCopyUs = copies_ ? (cpu1 - cpu0) * 1e6 / double(copies_) : -1;
    }
    if (!opt_.dump.empty()) {
        if (FILE* f = fopen(opt_.dump.c_str(), "w")) {
            fprintf(f, "sent_ns received_ns latency_us seq listener\n");
            for (const Sample& s : samples_)
                fprintf(f, "%" PRIu64 " %" PRIu64 " %.1f %u %u\n", s.sentAt, s.receivedAt,
                        (s.receivedAt - s.sentAt) / 1000.0, s.seq, s.listener);
            fclose(f);
        }
    }
    if (!latencies_.empty()) {
        auto pct = [&](double q) {
            size_t k = std::min(latencies_.size() - 1, size_t(q * double(latencies_.size())));
            std::nth_element(latencies_.begin(), latencies_.begin() + long(k), latencies_.end());
            return latencies_[k] / 1000.0;
        };
        r.p50us = pct(0.50);
        r.p99us = pct(0.99);
        r.p999us = pct(0.999);
        r.maxus = *std::max_element(latencies_.begin(), latencies_.end()) / 1000.0;
    }
    return r;
}

void LoadGen::PrintPhase(const char* tag, const PhaseResult& r)
{
    printf("%s offered_pps=%.0f sent_pps=%.0f delivered_cps=%.0f loss_pct=%.4f p50_us=%.1f p99_us=%.1f "
           "p999_us=%.1f max_us=%.1f cpu_share=%.4f cpu_us_per_copy=%.3f server_drops=%" PRIu64
           " client_drops=%" PRIu64 " steal_ms=%.0f seconds=%.2f\n",
           tag, r.offeredRate, r.sentRate, r.deliveredRate, r.lossPct, r.p50us, r.p99us, r.p999us, r.maxus,
           r.cpuShare, r.cpuPerCopyUs, r.serverDrops, r.clientDrops, r.stealMs, r.seconds);
    fflush(stdout);
}

int LoadGen::RunAudio()
{
    PhaseResult r = RunPhase(opt_.rate, opt_.duration);
    PrintPhase("RESULT", r);
    PrintWindow();
    return 0;
}

// Latency of the copies sent within the window another run wrote (CLOCK_MONOTONIC ns,
// which every process on this machine shares): the voice during a storm.
void LoadGen::PrintWindow()
{
    if (opt_.windowFile.empty())
        return;
    std::ifstream f(opt_.windowFile);
    uint64_t from = 0, to = 0;
    if (!(f >> from >> to) || to <= from) {
        printf("WINDOW none\n");
        return;
    }
    std::vector<uint32_t> lat;
    for (const Sample& s : samples_)
        if (s.sentAt >= from && s.sentAt <= to)
            lat.push_back(uint32_t(std::min<uint64_t>(s.receivedAt > s.sentAt ? s.receivedAt - s.sentAt : 0, UINT32_MAX)));
    if (lat.empty()) {
        printf("WINDOW copies=0\n");
        return;
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double q) { return lat[std::min(lat.size() - 1, size_t(q * double(lat.size())))] / 1000.0; };
    printf("WINDOW copies=%zu seconds=%.2f p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f\n", lat.size(),
           double(to - from) / 1e9, pct(0.5), pct(0.99), pct(0.999), lat.back() / 1000.0);
}

// The pinging client's round trips sent from the index on: count, p99, max, how many
// took over 50 ms, and whether one is still unanswered (counted with its age).
std::string PingSummary(const char* prefix, const std::vector<double>& ms)
{
    char buf[300];
    if (ms.empty())
        return std::string(prefix) + "pings=0";
    std::vector<double> v(ms);
    std::sort(v.begin(), v.end());
    size_t over = size_t(std::count_if(v.begin(), v.end(), [](double x) { return x > 50; }));
    snprintf(buf, sizeof buf, "%spings=%zu %sping_p99_ms=%.2f %sping_max_ms=%.2f %spings_over_50ms=%zu", prefix,
             v.size(), prefix, v[std::min(v.size() - 1, size_t(0.99 * double(v.size())))], prefix, v.back(), prefix,
             over);
    return buf;
}

int LoadGen::RunStorm()
{
    std::vector<int> crowd, joiners;
    for (int i = 0; i < opt_.users; ++i) {
        crowd.push_back(i);
        if (users_[size_t(i)].joins)
            joiners.push_back(i);
    }
    // Pings sent from the index on, up to the given time.
    auto pingsSince = [&](size_t from, const char* prefix, double until = 1e300) {
        std::vector<double> ms;
        for (size_t k = from; k < pings_.size(); ++k)
            if (pings_[k].sentAt <= until)
                ms.push_back(pings_[k].ms);
        const User& p = users_[size_t(pinger_)];
        if (p.pingSentAt > 0 && p.pingSentAt <= until)
            ms.push_back((Now() - p.pingSentAt) * 1000);
        return PingSummary(prefix, ms);
    };
    const int pid = opt_.serverPid;
    double t = 0;
    std::vector<int> watchers = {pinger_};
    if (opt_.burst > 0)
        watchers.push_back(burster_);
    bool ok = WaitFor(State::LoggedIn, watchers, opt_.setupTimeout, t);
    // With a burst the crowd is the audience: it logs in before the storm.
    if (ok && opt_.burst > 0) {
        ok = WaitFor(State::LoggedIn, crowd, opt_.setupTimeout, t);
        printf("LOGIN users=%d ok=%d seconds=%.3f failures=%d\n", opt_.users, ok ? 1 : 0, t, failures_);
        WaitQuiet(0.5, 60);
    }
    if (!ok) {
        printf("RESULT ok=0 note=set-up-failed failures=%d\n", failures_);
        return 1;
    }
    // Two seconds of what runs without the storm (the voice load), to subtract its CPU time
    // and to see the pings of a quiet server.
    const size_t pingA = pings_.size();
    double cpuA = ProcessCpu(pid), tA = Now();
    while (Now() - tA < 2)
        Pump(5), KeepAlive();
    const std::string quietPings = pingsSince(pingA, "before_");
    const double baseShare = cpuA >= 0 ? (ProcessCpu(pid) - cpuA) / (Now() - tA) : -1;
    const long rssBefore = ProcessRssKiB(pid);
    rssPeak_ = rssBefore;
    const uint64_t lines0 = linesIn_, bytes0 = bytesIn_, start = NowNs();
    const double cpu0 = ProcessCpu(pid), t0 = Now();
    const size_t ping0 = pings_.size();
    double loginS = 0, joinS = 0;
    int dones = 0;
    if (opt_.burst > 0) {
        User& b = users_[size_t(burster_)];
        std::string text;
        for (int i = 0; i < opt_.burst; ++i)
            text += "join channel=\"/burst" + std::to_string(i % std::max(1, opt_.burstChannels)) + "/\"\r\n";
        SendTcp(b, text);
        double until = std::min(Now() + opt_.setupTimeout, deadline_);
        while (b.dones < opt_.burst && b.state != State::Failed && Now() < until)
            Pump(5), KeepAlive();
        dones = b.dones;
        joinS = Now() - t0;
        ok = dones == opt_.burst;
    } else {
        ok = WaitFor(State::LoggedIn, crowd, opt_.setupTimeout, loginS);
        if (ok && !joiners.empty())
            ok = WaitFor(State::Ready, joiners, opt_.setupTimeout, joinS);
    }
    const double commandsS = Now() - t0;
    // The server may pause its writes for a while when its loop is busy: only a long silence
    // ends the storm.
    const bool quiet = WaitQuiet(3, opt_.setupTimeout);
    const double end = quiet ? lastTcpData_ : Now();
    const double wall = Now() - t0, cpu1 = ProcessCpu(pid);
    const uint64_t lines = linesIn_ - lines0, bytes = bytesIn_ - bytes0;
    const std::string stormPings = pingsSince(ping0, "", end);
    const long rssPeak = rssPeak_;
    const int sockets = int(std::count_if(users_.begin(), users_.end(), [](const User& u) { return u.tcp >= 0; }));
    if (!opt_.windowFile.empty()) {
        std::ofstream w(opt_.windowFile);
        w << start << ' ' << start + uint64_t((end - t0) * 1e9) << '\n';
    }
    int still = 0, lost = 0;
    CheckLogins(crowd, still, lost);
    const double cpu = cpu0 >= 0 && cpu1 >= 0 ? cpu1 - cpu0 : -1;
    const double net = cpu >= 0 && baseShare >= 0 ? cpu - baseShare * wall : -1;
    printf("STORM ok=%d login_s=%.3f join_s=%.3f commands_s=%.3f storm_s=%.3f lines=%" PRIu64 " bytes=%" PRIu64
           " line_bytes=%.1f lines_per_socket=%.1f sockets=%d cpu_s=%.3f base_share=%.4f net_cpu_s=%.3f "
           "cpu_us_per_line=%.4f net_cpu_us_per_line=%.4f burst_dones=%d still_logged_in=%d silently_logged_out=%d %s\n",
           ok ? 1 : 0, loginS, joinS, commandsS, end - t0, lines, bytes, lines ? double(bytes) / double(lines) : 0,
           double(lines) / double(sockets), sockets, cpu, baseShare, net,
           lines ? cpu * 1e6 / double(lines) : -1, lines ? net * 1e6 / double(lines) : -1, dones, still, lost,
           stormPings.c_str());
    // The storm's users leave; memory is judged after the server's next keep-alive tick.
    // Closing thousands of sockets takes this program a while: the pinging client is read
    // in between, or its round trip would measure the closing.
    for (size_t i = 0; i < crowd.size(); ++i) {
        CloseUser(users_[size_t(crowd[i])]);
        if (i % 64 == 63)
            PollUrgent(), PingTick();
    }
    CloseUser(users_[size_t(burster_)]);
    const double leftAt = Now();
    const size_t ping1 = pings_.size();
    while (Now() - leftAt < opt_.settle && Now() < deadline_)
        Pump(10), KeepAlive();
    const long rssAfter = ProcessRssKiB(pid);
    // PING_LOG=file: every round trip of the storm and after it, for finding when the slow ones came.
    if (const char* log = getenv("PING_LOG")) {
        std::ofstream w(log);
        w << "login_end " << loginS << " commands_end " << commandsS << " end " << end - t0 << " left "
          << leftAt - t0 << '\n';
        for (size_t k = ping0; k < pings_.size(); ++k) w << pings_[k].sentAt - t0 << ' ' << pings_[k].ms << '\n';
    }
    printf("RESULT ok=%d storm_s=%.3f lines=%" PRIu64 " line_bytes=%.1f lines_per_socket=%.1f sockets=%d "
           "cpu_us_per_line=%.4f net_cpu_us_per_line=%.4f rss_before_kib=%ld rss_peak_kib=%ld rss_after_kib=%ld "
           "settle_s=%.0f still_logged_in=%d failures=%d %s %s %s\n",
           ok ? 1 : 0, end - t0, lines, lines ? double(bytes) / double(lines) : 0,
           double(lines) / double(sockets), sockets, lines ? cpu * 1e6 / double(lines) : -1,
           lines ? net * 1e6 / double(lines) : -1, rssBefore, rssPeak, rssAfter, Now() - leftAt, still, failures_,
           stormPings.c_str(), quietPings.c_str(), pingsSince(ping1, "after_").c_str());
    return ok && still == opt_.users ? 0 : 1;
}

// The same number of connections to bench/minbroadcast, which writes them --lines lines of
// --line-bytes bytes each: the CPU time a minimal program spends per delivered line.
int LoadGen::RunMinimal()
{
    std::vector<int> all;
    for (int i = 0; i < opt_.users; ++i)
        all.push_back(i);
    double t = 0;
    if (!WaitFor(State::Ready, all, opt_.setupTimeout, t)) {
        printf("RESULT ok=0 note=connect-failed failures=%d\n", failures_);
        return 1;
    }
    WaitQuiet(0.3, 10);
    const uint64_t lines0 = linesIn_, bytes0 = bytesIn_;
    const uint64_t expected = uint64_t(opt_.users) * uint64_t(opt_.lines);
    const double cpu0 = ProcessCpu(opt_.serverPid), t0 = Now();
    SendTcp(users_[0], "go " + std::to_string(opt_.lines) + " " + std::to_string(opt_.lineBytes) + "\r\n");
    lastTcpData_ = t0;
    const double until = std::min(t0 + opt_.setupTimeout, deadline_);
    while (linesIn_ - lines0 < expected && Now() < until && Now() - lastTcpData_ < 2)
        Pump(5);
    const double seconds = lastTcpData_ - t0, cpu = ProcessCpu(opt_.serverPid) - cpu0;
    const uint64_t lines = linesIn_ - lines0;
    printf("RESULT ok=%d sockets=%d lines=%" PRIu64 " expected=%" PRIu64 " line_bytes=%.1f seconds=%.3f cpu_s=%.3f "
           "cpu_us_per_line=%.4f\n",
           lines == expected ? 1 : 0, opt_.users, lines, expected, lines ? double(bytesIn_ - bytes0) / double(lines) : 0,
           seconds, cpu, lines ? cpu * 1e6 / double(lines) : -1);
    return lines == expected ? 0 : 1;
}

// Doubles the offered rate until the loss passes the limit, then bisects: the answer is the
// highest delivered rate seen at an offered rate that kept the loss within the limit.
int LoadGen::RunSearch()
{
    double talkers = double(talkers_.size());
    double rate = (opt_.startRate > 0 ? opt_.startRate : 1000.0) / talkers;
    double good = 0, bad = 0;
    PhaseResult best;
    bool haveBest = false;
    for (int step = 0; step < opt_.steps && Now() < deadline_; ++step) {
        PhaseResult r;
        bool keptUp = false, pass = false;
        // A failed rate is tried once more: a stall of the host's own making during one
        // short phase must not decide the search.
        for (int attempt = 0; attempt <= opt_.retries && !pass; ++attempt) {
            r = RunPhase(rate, opt_.duration);
            keptUp = r.sentRate >= 0.97 * r.offeredRate;
            pass = keptUp && r.lossPct <= opt_.maxLoss;
            PrintPhase(pass ? "PHASE pass" : (keptUp ? "PHASE fail" : "PHASE fail(sender-bound)"), r);
        }
        if (pass) {
            good = rate;
            if (!haveBest || r.deliveredRate > best.deliveredRate)
                best = r;
            haveBest = true;
        } else {
            bad = rate;
        }
        if (bad > 0 && good > 0 && (bad - good) / bad < 0.06)
            break;
        rate = bad == 0 ? rate * 2 : (good > 0 ? (good + bad) / 2 : rate / 2);
    }
    if (!haveBest) {
        printf("RESULT offered_pps=0 delivered_cps=0 loss_pct=100 note=no-passing-rate\n");
        return 1;
    }
    PrintPhase("RESULT", best);
    return 0;
}

// Asks every settled user "pwc": a server that could not queue a line for a user clears
// its login without telling it, and such a user's "pwc" is refused.
void LoadGen::CheckLogins(const std::vector<int>& which, int& still, int& lost)
{
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
        for (int k : which)
            waiting += users_[size_t(k)].probe == User::Probe::Waiting;
        if (waiting == 0 || Now() > until)
            break;
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

int LoadGen::RunExtraClient()
{
    User& u = users_.back();
    u.channel = 0;
    u.joins = true;
    double loginTime = 0, joinTime = 0;
    bool ok = WaitFor(State::LoggedIn, {u.index}, 30, loginTime);
    int channels = u.addchannels;
    if (ok)
        ok = WaitFor(State::Ready, {u.index}, 60, joinTime);
    printf("EXTRA ok=%d login_s=%.3f join_s=%.3f addchannel_lines=%d adduser_lines=%d expected_adduser=%d%s%s\n",
           ok ? 1 : 0, loginTime, joinTime, channels, u.addusers, opt_.joiners + 1, u.error.empty() ? "" : " error=",
           u.error.c_str());
    return ok && u.addusers == opt_.joiners + 1 ? 0 : 1;
}

int LoadGen::RunScale()
{
    std::vector<int> all, joiners;
    for (int i = 0; i < opt_.users; ++i) {
        all.push_back(i);
        if (users_[size_t(i)].joins)
            joiners.push_back(i);
    }
    long rss0 = ProcessRssKiB(opt_.serverPid);
    double loginTime = 0, joinTime = 0;
    bool loggedIn = WaitFor(State::LoggedIn, all, opt_.setupTimeout, loginTime);
    int logged = 0;
    for (int i : all)
        logged += users_[size_t(i)].state == State::LoggedIn;
    printf("LOGIN users=%d logged_in=%d seconds=%.3f failures=%d\n", opt_.users, logged, loginTime, failures_);
    fflush(stdout);
    WaitQuiet(0.3, 30);
    long rss1 = ProcessRssKiB(opt_.serverPid);
    bool joined = loggedIn && WaitFor(State::Ready, joiners, opt_.setupTimeout, joinTime);
    double quietStart = Now();
    bool quiet = WaitQuiet(0.5, opt_.setupTimeout);
    double drainTime = Now() - quietStart - (quiet ? 0.5 : 0);
    long rss2 = ProcessRssKiB(opt_.serverPid);
    int still = 0, lost = 0;
    CheckLogins(all, still, lost);
    printf("JOIN joiners=%d ok=%d seconds=%.3f broadcast_drain_s=%.3f failures=%d still_logged_in=%d "
           "silently_logged_out=%d\n",
           int(joiners.size()), joined ? 1 : 0, joinTime, drainTime, failures_, still, lost);
    fflush(stdout);
    int extra = RunExtraClient();
    long rss3 = ProcessRssKiB(opt_.serverPid);
    double perUser = rss0 >= 0 && rss1 >= 0 ? double(rss1 - rss0) / opt_.users : -1;
    double perUserJoined = rss0 >= 0 && rss2 >= 0 ? double(rss2 - rss0) / opt_.users : -1;
    printf("RESULT users=%d logged_in=%d login_s=%.3f join_s=%.3f rss0_kib=%ld rss_login_kib=%ld rss_join_kib=%ld "
           "rss_end_kib=%ld rss_per_user_kib=%.2f rss_per_user_joined_kib=%.2f extra_ok=%d failures=%d "
           "broadcast_drain_s=%.3f still_logged_in=%d silently_logged_out=%d\n",
           opt_.users, logged, loginTime, joinTime, rss0, rss1, rss2, rss3, perUser, perUserJoined,
           extra == 0 ? 1 : 0, failures_, drainTime, still, lost);
    fflush(stdout);
    return loggedIn && joined && extra == 0 ? 0 : 1;
}

int LoadGen::Run()
{
    deadline_ = Now() + opt_.maxTime;
    timespec rt;
    clock_gettime(CLOCK_REALTIME, &rt);
    realtimeOffset_ = uint64_t(rt.tv_sec) * 1000000000ull + uint64_t(rt.tv_nsec) - NowNs();
    if (!Setup())
        return 2;
    if (opt_.scale)
        return RunScale();
    if (opt_.storm)
        return RunStorm();
    if (opt_.minimal)
        return RunMinimal();
    std::vector<int> all;
    for (int i = 0; i < opt_.users; ++i)
        all.push_back(i);
    double setup = 0;
    bool ok = WaitFor(State::Ready, all, opt_.setupTimeout, setup);
    printf("SETUP users=%d channels=%d talkers=%zu seconds=%.3f ok=%d\n", opt_.users, opt_.channels,
           talkers_.size(), setup, ok ? 1 : 0);
    fflush(stdout);
    if (!ok)
        return 1;
    // Joins make the server announce the newcomers to everyone; let that settle first.
    if (!opt_.relay)
        WaitQuiet(0.2, 10);
    return opt_.search ? RunSearch() : RunAudio();
}

// Spins on the calling core and records every gap in its own progress longer than 0.2 ms:
// time the core was given to something else (another task, or the host).
int StallProbe(double seconds)
{
    const uint64_t threshold = 200000;
    uint64_t start = NowNs(), prev = start, end = start + uint64_t(seconds * 1e9);
    uint64_t lost = 0, longest = 0, count = 0;
    for (uint64_t now = start; now < end; now = NowNs()) {
        uint64_t gap = now - prev;
        if (gap > threshold) {
            ++count;
            lost += gap;
            longest = std::max(longest, gap);
        }
        prev = now;
    }
    double total = double(NowNs() - start);
    printf("RESULT stalls_per_s=%.1f longest_stall_ms=%.2f stalled_pct=%.2f seconds=%.1f\n",
           double(count) * 1e9 / total, double(longest) / 1e6, 100.0 * double(lost) / total, total / 1e9);
    return 0;
}

void Usage()
{
    fprintf(stderr,
            "usage: loadgen [options]\n"
            "  --tcp-port P --udp-port P   server ports on 127.0.0.1 (10300, 10301)\n"
            "  --users N --channels C      users, spread evenly over channels /c0/ .. (10, 1)\n"
            "  --talkers T                 talkers per channel (1)\n"
            "  --size S --rate R           audio packet bytes (100), packets/s per talker, 0 = flat out (50)\n"
            "  --duration D --warmup W     measured and warm-up seconds (5, 0.5)\n"
            "  --server-pid PID            read the server's CPU time and memory from /proc\n"
            "  --search                    find the highest rate with at most --max-loss %% loss (0.1)\n"
            "  --start-rate R --steps K    first total offered packets/s (1000), most rates tried (12)\n"
            "  --retries N                 further tries of a rate that lost too much (1)\n"
            "  --relay                     no TCP: ids 1..N given here, channel = (id-1) / (N/C)\n"
            "  --scale                     log N users in at once, --joiners K of them join /c0/\n"
            "  --window W                  logins in flight at once (512)\n"
            "  --channel PATH              the channel --scale and --storm users join (/c0/)\n"
            "  --storm                     log N users in, --joiners K of them join --channel; or, with\n"
            "                              --burst B, log N in first and have one client send B joins\n"
            "                              at once (cycling over --burst-channels M new channels, 2).\n"
            "                              Another client pings every --ping-interval s (0.02); the\n"
            "                              storm's users leave and RSS is read --settle s later (35)\n"
            "  --window-file F             --storm writes its window (CLOCK_MONOTONIC ns) to F; an audio\n"
            "                              run reads it at its end and reports the latency within it\n"
            "  --stop-file F               the audio run ends early once F exists\n"
            "  --minimal --lines L --line-bytes S   N connections to bench/minbroadcast, which writes\n"
            "                              each L lines of S bytes; reports its CPU time per line\n"
            "  --dump FILE                 write every latency sample of the last phase to FILE\n"
            "  --stall-probe S             only spin S seconds and report how often this core was\n"
            "                              taken away (gaps over 0.2 ms), to judge the machine's noise\n"
"  --realtime                  talk at real-time priority and sleep to each packet's due time,\n"
            "                              so that a busy core does not bunch the talkers' packets\n"
            "  --user-time                 latency up to when this program reads a copy; by default up\n"
            "                              to its arrival in the listener's socket (kernel time stamp)\n"
            "  --setup-timeout S --max-time S   bounds of the set-up and of the whole run (60, 600)\n");
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](double& v) {
            if (i + 1 >= argc)
                return false;
            char* end = nullptr;
            v = strtod(argv[++i], &end);
            return end && *end == '\0';
        };
        double v = 0;
        if (a == "--relay")
            o.relay = true;
        else if (a == "--scale")
            o.scale = true;
        else if (a == "--search")
            o.search = true;
        else if (a == "--storm")
            o.storm = true;
        else if (a == "--minimal")
            o.minimal = true;
        else if (a == "--channel" && i + 1 < argc)
            o.channel = argv[++i];
        else if (a == "--stop-file" && i + 1 < argc)
            o.stopFile = argv[++i];
        else if (a == "--window-file" && i + 1 < argc)
            o.windowFile = argv[++i];
        else if (a == "--help" || a == "-h")
            return false;
        else if (a == "--stall-probe" && i + 1 < argc)
            o.stallProbe = atof(argv[++i]);
        else if (a == "--user-time")
            o.userTime = true;
        else if (a == "--realtime")
            o.realtime = true;
        else if (a == "--dump" && i + 1 < argc)
            o.dump = argv[++i];
        else if (!next(v))
            return false;
        else if (a == "--tcp-port")
            o.tcpPort = int(v);
        else if (a == "--udp-port")
            o.udpPort = int(v);
        else if (a == "--users")
            o.users = int(v);
        else if (a == "--channels")
            o.channels = int(v);
        else if (a == "--talkers")
            o.talkers = int(v);
        else if (a == "--size")
            o.size = int(v);
        else if (a == "--rate")
            o.rate = v;
        else if (a == "--duration")
            o.duration = v;
        else if (a == "--warmup")
            o.warmup = v;
        else if (a == "--server-pid")
            o.serverPid = int(v);
        else if (a == "--joiners")
            o.joiners = int(v);
        else if (a == "--window")
            o.window = int(v);
        else if (a == "--setup-timeout")
            o.setupTimeout = v;
        else if (a == "--max-time")
            o.maxTime = v;
        else if (a == "--max-loss")
            o.maxLoss = v;
        else if (a == "--start-rate")
            o.startRate = v;
        else if (a == "--steps")
            o.steps = int(v);
        else if (a == "--retries")
            o.retries = int(v);
        else if (a == "--burst")
            o.burst = int(v);
        else if (a == "--burst-channels")
            o.burstChannels = int(v);
        else if (a == "--ping-interval")
            o.pingInterval = v;
        else if (a == "--settle")
            o.settle = v;
        else if (a == "--lines")
            o.lines = long(v);
        else if (a == "--line-bytes")
            o.lineBytes = long(v);
        else
            return false;
    }
    if (o.users < 1 || o.channels < 1 || o.channels > o.users || o.talkers < 0 || o.window < 1 ||
        o.tcpPort <= 0 || o.udpPort <= 0 || o.tcpPort > 65535 || o.udpPort > 65535) {
        fprintf(stderr, "loadgen: bad counts or ports\n");
        return false;
    }
    if (o.size < kMinSize || o.size > kMaxDatagram) {
        fprintf(stderr, "loadgen: --size must be %d..%d (the server reads 512 bytes at most)\n", kMinSize,
                kMaxDatagram);
        return false;
    }
    if (int(o.relay) + int(o.scale) + int(o.storm) + int(o.minimal) > 1) {
        fprintf(stderr, "loadgen: --relay, --scale, --storm and --minimal exclude each other\n");
        return false;
    }
    if (o.minimal && (o.lines < 1 || o.lines > 1000000 || o.lineBytes < 3 || o.lineBytes > 65536)) {
        fprintf(stderr, "loadgen: --minimal needs --lines 1..1000000 and --line-bytes 3..65536\n");
        return false;
    }
    if (o.burst < 0 || o.burst > 100000 || o.pingInterval < 0.001) {
        fprintf(stderr, "loadgen: --burst must be 0..100000 and --ping-interval at least 0.001\n");
        return false;
    }
    if (o.relay && o.users % o.channels != 0) {
        fprintf(stderr, "loadgen: --relay needs --users to be a multiple of --channels\n");
        return false;
    }
    if (o.relay && o.users > 32766) {
        fprintf(stderr, "loadgen: at most 32766 users\n");
        return false;
    }
    o.joiners = std::max(0, std::min(o.joiners, o.users));
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.stallProbe > 0)
        return StallProbe(std::min(o.stallProbe, o.maxTime));
    if (o.realtime) {
        sched_param param{};
        param.sched_priority = 1;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            fprintf(stderr, "loadgen: no real-time priority (%s); talking at normal priority\n", strerror(errno));
    }
    LoadGen gen(o);
    return gen.Run();
}
