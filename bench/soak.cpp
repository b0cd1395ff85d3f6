// Soak benchmark: a server under every kind of load at once for a long time.
//   - talkers: N users in C channels, each sending S-byte audio packets at R packets/s;
//     they count the relayed copies they receive, so the loss is known;
//   - slow connections: M connections that never log in and trickle one byte at a time
//     without a line feed (reconnecting whenever the server closes one);
//   - a UDP junk flood of random datagrams;
//   - churn: clients that connect, log in, join, quit and disconnect in a loop;
//   - an administrator that saves the configuration every second.
// Every 10 s it prints the delivered voice, the server's RSS and its open descriptors.
// Plain POSIX on 127.0.0.1; every wait is bounded. Ends with a RESULT line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchNet.h"
#include "LineClient.h"
#include "ProcStats.h"

namespace {

struct Options {
    int tcpPort = 10300;
    int udpPort = 10301;
    int serverPid = 0;
    int users = 100;
    int channels = 10;
    int rate = 50;  // audio packets per second per talker
    int packetSize = 100;
    int slow = 1000;
    int junkRate = 2000;  // junk datagrams per second
    int churnRate = 10;   // connect-login-quit cycles per second
    int seconds = 600;
    int reportEvery = 10;
    std::string adminUser = "admin";
    std::string adminPassword = "admin";
};

std::atomic<bool> running(true);
const double startTime = Now();

// One logged-in user with its UDP socket, in a channel.
struct Talker {
    LineClient tcp;
    int udp = -1;
    int id = 0;
    int channel = 0;
};

// Connects, says hello, logs in and joins; false when any step did not answer in time.
bool StartTalker(const Options& o, Talker& t, const std::string& nickname, const std::string& channel) {
    if (!t.tcp.Connect(o.tcpPort)) return false;
    t.id = LogIn(t.tcp, o.udpPort, nickname, t.udp);
    return t.id > 0 && Join(t.tcp, channel);
}

struct Counters {
    std::atomic<uint64_t> sent{0};       // audio packets sent by talkers
    std::atomic<uint64_t> expected{0};   // copies that should arrive
    std::atomic<uint64_t> delivered{0};  // copies that arrived
    std::atomic<uint64_t> slowBytes{0};
    std::atomic<uint64_t> slowReconnects{0};
    std::atomic<uint64_t> junk{0};
    std::atomic<uint64_t> churned{0};
    std::atomic<uint64_t> churnFailures{0};
    std::atomic<uint64_t> saves{0};
    std::atomic<uint64_t> saveFailures{0};
};

void RunTalkers(const Options& o, std::vector<Talker>& talkers, Counters& c) {
    std::vector<int> perChannel(static_cast<size_t>(o.channels), 0);
    for (const Talker& t : talkers) ++perChannel[static_cast<size_t>(t.channel)];
    std::vector<unsigned char> packet(static_cast<size_t>(o.packetSize), 0x55);
    packet[0] = 5;  // audio; the server relays it as type 4
    packet[1] = 3;
    packet[2] = static_cast<unsigned char>(o.packetSize & 0xff);
    packet[3] = static_cast<unsigned char>(o.packetSize >> 8);
    packet[6] = packet[7] = 0;  // to the whole channel
    // The talkers take turns evenly over each period, as independent clients would.
    const double step = 1.0 / o.rate / static_cast<double>(talkers.size());
    double next = Now(), lastPing = Now();
    for (size_t turn = 0; running; turn = (turn + 1) % talkers.size()) {
        Talker& t = talkers[turn];
        packet[4] = static_cast<unsigned char>(t.id & 0xff);
        packet[5] = static_cast<unsigned char>(t.id >> 8);
        if (send(t.udp, packet.data(), packet.size(), 0) == static_cast<ssize_t>(packet.size())) {
            ++c.sent;
            c.expected += static_cast<uint64_t>(perChannel[static_cast<size_t>(t.channel)] - 1);
        }
        if (turn == 0 && Now() - lastPing > 20) {
            for (Talker& other : talkers) other.tcp.SendLine("ping");
            lastPing = Now();
        }
        next += step;
        const double wait = next - Now();
        if (wait > 0.0005) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
}

// Counts relayed copies on every talker's UDP socket and drains their TCP lines.
void RunReceivers(std::vector<Talker>& talkers, Counters& c) {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < talkers.size(); ++i) {
        fcntl(talkers[i].udp, F_SETFL, O_NONBLOCK);
        fcntl(talkers[i].tcp.Fd(), F_SETFL, O_NONBLOCK);
        epoll_event e = {};
        e.events = EPOLLIN;
        e.data.u64 = i * 2;
        epoll_ctl(ep, EPOLL_CTL_ADD, talkers[i].udp, &e);
        e.data.u64 = i * 2 + 1;
        epoll_ctl(ep, EPOLL_CTL_ADD, talkers[i].tcp.Fd(), &e);
    }
    epoll_event events[256];
    char buffer[65536];
    while (running) {
        const int n = epoll_wait(ep, events, 256, 100);
        for (int k = 0; k < n; ++k) {
            Talker& t = talkers[events[k].data.u64 / 2];
            if (events[k].data.u64 % 2 == 0) {
                ssize_t got;
                while ((got = recv(t.udp, buffer, sizeof(buffer), 0)) > 0)
                    if (static_cast<unsigned char>(buffer[0]) == 4) ++c.delivered;
            } else {
                while (recv(t.tcp.Fd(), buffer, sizeof(buffer), 0) > 0) {
                }
            }
        }
    }
    close(ep);
}

void RunSlow(const Options& o, Counters& c) {
    std::vector<int> fds(static_cast<size_t>(o.slow), -1);
    const double period = 1.0;  // each connection sends one byte per second
    double next = Now();
    size_t turn = 0;
    while (running) {
        // One connection's turn every period / slow seconds, spread evenly.
        for (int step = 0; step < 50 && running; ++step) {
            int& fd = fds[turn];
            char byte = 'x';
            if (fd < 0) {
                fd = ConnectTcp(o.tcpPort);
                if (fd >= 0) {
                    fcntl(fd, F_SETFL, O_NONBLOCK);
                    ++c.slowReconnects;
                }
            } else {
                char sink[4096];
                const ssize_t r = recv(fd, sink, sizeof(sink), 0);
                if (r == 0 || (r < 0 && errno != EAGAIN) || send(fd, &byte, 1, MSG_NOSIGNAL) != 1) {
                    close(fd);
                    fd = -1;
                } else {
                    ++c.slowBytes;
                }
            }
            turn = (turn + 1) % fds.size();
            next += period / static_cast<double>(fds.size());
        }
        const double wait = next - Now();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
    for (int fd : fds)
        if (fd >= 0) close(fd);
}

void RunJunk(const Options& o, Counters& c) {
    std::mt19937 random(12345);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server = Loopback(o.udpPort);
    connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server));
    fcntl(fd, F_SETFL, O_NONBLOCK);
    std::vector<unsigned char> datagram(1500);
    double next = Now();
    const double period = 1.0 / o.junkRate;
    char sink[2048];
    while (running) {
        const size_t length = 1 + random() % datagram.size();
        for (size_t i = 0; i < length; ++i) datagram[i] = static_cast<unsigned char>(random());
        // Every type byte the server knows, with random rest, most of the time.
        if (random() % 4 != 0) datagram[0] = static_cast<unsigned char>(1 + random() % 5);
        if (send(fd, datagram.data(), length, 0) > 0) ++c.junk;
        while (recv(fd, sink, sizeof(sink), 0) > 0) {
        }
        next += period;
        const double wait = next - Now();
        if (wait > 0.001) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
    close(fd);
}

void RunChurn(const Options& o, Counters& c) {
    double next = Now();
    int n = 0;
    while (running) {
        Talker t;
        const bool ok = StartTalker(o, t, "churn" + std::to_string(n++), "/churn/");
        if (ok) {
            t.tcp.SendLine("quit");
            ++c.churned;
        } else {
            ++c.churnFailures;
        }
        t.tcp.Close();
        if (t.udp >= 0) close(t.udp);
        next += 1.0 / o.churnRate;
        const double wait = next - Now();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
}

void RunAdmin(const Options& o, Counters& c) {
    LineClient admin;
    while (running) {
        if (!admin.Open()) {
            if (!admin.Connect(o.tcpPort) || !AdminLogIn(admin, o.adminUser, o.adminPassword)) {
                admin.Close();
                ++c.saveFailures;
                std::this_thread::sleep_for(std::chrono::seconds(1));
                continue;
            }
        }
        const double started = Now();
        // A ping as any client sends it: without one the server drops the connection as
        // inactive after three minutes.
        admin.SendLine("ping\r\nsaveconfig");
        // The administrator also receives every user's comings and goings; skip them.
        if (admin.Expect("ok", 10)) {
            ++c.saves;
        } else {
            ++c.saveFailures;
            // Why, for the log: a refusal, a closed connection or ten seconds without a line.
            pollfd p = {admin.Fd(), POLLIN, 0};
            char byte;
            const bool closed = poll(&p, 1, 0) == 1 && recv(admin.Fd(), &byte, 1, MSG_PEEK) <= 0;
            fprintf(stderr, "save failed at %.1f s: %s\n", Now() - startTime,
                    !admin.Refusal().empty() ? admin.Refusal().c_str()
                    : closed                 ? "connection closed"
                                             : "no reply within 10 s");
            admin.Close();
        }
        const double wait = 1.0 - (Now() - started);
        if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
}

void Usage() {
    std::printf(
        "soak [options]\n"
        "  --port P --udp-port U   the server's ports (10300, 10301)\n"
        "  --server-pid PID        report this process's RSS and open descriptors\n"
        "  --users N --channels C  talkers and their channels (100, 10)\n"
        "  --rate R --size S       audio packets/s per talker and their size (50, 100)\n"
        "  --slow M                slow connections trickling bytes (1000)\n"
        "  --junk J                junk datagrams per second (2000)\n"
        "  --churn K               connect-login-quit cycles per second (10)\n"
        "  --seconds T             duration (600); --report-every R (10)\n"
        "  --admin USER PASSWORD   the administrator account (admin admin)\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](int& out) {
            if (i + 1 >= argc) return false;
            out = std::atoi(argv[++i]);
            return true;
        };
        bool ok = true;
        if (a == "--port") ok = next(o.tcpPort);
        else if (a == "--udp-port") ok = next(o.udpPort);
        else if (a == "--server-pid") ok = next(o.serverPid);
        else if (a == "--users") ok = next(o.users);
        else if (a == "--channels") ok = next(o.channels);
        else if (a == "--rate") ok = next(o.rate);
        else if (a == "--size") ok = next(o.packetSize);
        else if (a == "--slow") ok = next(o.slow);
        else if (a == "--junk") ok = next(o.junkRate);
        else if (a == "--churn") ok = next(o.churnRate);
        else if (a == "--seconds") ok = next(o.seconds);
        else if (a == "--report-every") ok = next(o.reportEvery);
        else if (a == "--admin" && i + 2 < argc) {
            o.adminUser = argv[++i];
            o.adminPassword = argv[++i];
        } else ok = false;
        if (!ok) return false;
    }
    return o.users > 1 && o.channels > 0 && o.rate > 0 && o.packetSize >= 8 && o.slow > 0 && o.junkRate > 0 &&
           o.churnRate > 0 && o.seconds > 0 && o.reportEvery > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::vector<Talker> talkers(static_cast<size_t>(o.users));
    for (int i = 0; i < o.users; ++i) {
        Talker& t = talkers[static_cast<size_t>(i)];
        t.channel = i % o.channels;
        if (!StartTalker(o, t, "talker" + std::to_string(i), "/c" + std::to_string(t.channel) + "/")) {
            std::fprintf(stderr, "talker %d could not log in and join\n", i);
            return 1;
        }
    }
    Counters c;
    std::vector<std::thread> threads;
    threads.emplace_back(RunReceivers, std::ref(talkers), std::ref(c));
    threads.emplace_back(RunTalkers, std::cref(o), std::ref(talkers), std::ref(c));
    threads.emplace_back(RunSlow, std::cref(o), std::ref(c));
    threads.emplace_back(RunJunk, std::cref(o), std::ref(c));
    threads.emplace_back(RunChurn, std::cref(o), std::ref(c));
    threads.emplace_back(RunAdmin, std::cref(o), std::ref(c));

    const double start = Now();
    uint64_t lastExpected = 0, lastDelivered = 0;
    long firstRss = -1, maxRss = 0;
    int firstFds = -1, maxFds = 0;
    std::printf("%6s %12s %12s %8s %10s %6s %8s %10s %8s %8s\n", "t(s)", "copies/s", "delivered", "loss%", "rss(KiB)",
                "fds", "slowconn", "junk", "churned", "saves");
    for (int tick = 1; Now() - start < o.seconds; ++tick) {
        const double wake = start + tick * o.reportEvery;
        while (Now() < wake && Now() - start < o.seconds) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t expected = c.expected, delivered = c.delivered;
        const double intervalLoss =
            expected > lastExpected
                ? 100.0 * (1.0 - double(delivered - lastDelivered) / double(expected - lastExpected))
                : 0.0;
        const long rss = o.serverPid ? ProcessRssKiB(o.serverPid) : -1;
        const int fds = o.serverPid ? ProcessDescriptors(o.serverPid) : -1;
        // The first report is taken once everything has started; growth is measured from it.
        if (firstRss < 0) {
            firstRss = rss;
            firstFds = fds;
        }
        if (rss > maxRss) maxRss = rss;
        if (fds > maxFds) maxFds = fds;
        std::printf("%6.0f %12.0f %12llu %8.4f %10ld %6d %8llu %10llu %8llu %8llu\n", Now() - start,
                    double(delivered - lastDelivered) / o.reportEvery, static_cast<unsigned long long>(delivered),
                    intervalLoss, rss, fds, static_cast<unsigned long long>(c.slowReconnects.load()),
                    static_cast<unsigned long long>(c.junk.load()), static_cast<unsigned long long>(c.churned.load()),
                    static_cast<unsigned long long>(c.saves.load()));
        std::fflush(stdout);
        lastExpected = expected;
        lastDelivered = delivered;
    }
    running = false;
    for (std::thread& t : threads) t.join();
    // Copies still in flight when the talkers stopped arrive within a moment.
    for (Talker& t : talkers) {
        char buffer[65536];
        pollfd p = {t.udp, POLLIN, 0};
        while (poll(&p, 1, 50) == 1 && recv(t.udp, buffer, sizeof(buffer), 0) > 0)
            if (static_cast<unsigned char>(buffer[0]) == 4) ++c.delivered;
    }
    const double loss = c.expected ? 100.0 * (1.0 - double(c.delivered) / double(c.expected)) : 0.0;
    const long lastRss = o.serverPid ? ProcessRssKiB(o.serverPid) : -1;
    const int lastFds = o.serverPid ? ProcessDescriptors(o.serverPid) : -1;
    std::printf(
        "RESULT seconds=%d sent=%llu expected=%llu delivered=%llu loss_pct=%.4f rss_first_kib=%ld "
        "rss_max_kib=%ld rss_last_kib=%ld fds_first=%d fds_max=%d fds_last=%d slow_connects=%llu "
        "slow_bytes=%llu junk=%llu churned=%llu churn_failures=%llu saves=%llu save_failures=%llu\n",
        o.seconds, static_cast<unsigned long long>(c.sent.load()), static_cast<unsigned long long>(c.expected.load()),
        static_cast<unsigned long long>(c.delivered.load()), loss, firstRss, maxRss, lastRss, firstFds, maxFds, lastFds,
        static_cast<unsigned long long>(c.slowReconnects.load()), static_cast<unsigned long long>(c.slowBytes.load()),
        static_cast<unsigned long long>(c.junk.load()), static_cast<unsigned long long>(c.churned.load()),
        static_cast<unsigned long long>(c.churnFailures.load()), static_cast<unsigned long long>(c.saves.load()),
        static_cast<unsigned long long>(c.saveFailures.load()));
    for (Talker& t : talkers) close(t.udp);
    return loss < 0.1 ? 0 : 1;
}
