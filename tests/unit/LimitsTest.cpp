// The limits against floods: the per-address bookkeeping, and the acceptor when the
// descriptor table is full.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <ace/Select_Reactor.h>

#include "ReactorLoop.h"
#include "RecordingStreamListener.h"
#include "network/Acceptor.h"
#include "server/FloodGuard.h"
#include "server/ServerNode.h"

using namespace networktest;
using quorvane::server::FloodGuard;

namespace {

TEST(FloodGuardTest, CountsConnectionsPerAddressAndFreesThemOnClose) {
    FloodGuard guard;
    guard.SetMaxConnectionsPerAddress(2);
    EXPECT_TRUE(guard.ConnectionOpened(1, "10.0.0.1", 0));
    EXPECT_TRUE(guard.ConnectionOpened(2, "10.0.0.1", 0));
    EXPECT_FALSE(guard.ConnectionOpened(3, "10.0.0.1", 0));
    EXPECT_TRUE(guard.ConnectionOpened(4, "10.0.0.2", 0));
    EXPECT_EQ("10.0.0.1", guard.AddressOf(2));
    EXPECT_EQ("", guard.AddressOf(3));  // the refused one was never counted
    guard.ConnectionClosed(1);
    guard.ConnectionClosed(3);
    EXPECT_EQ(1, guard.ConnectionsOf("10.0.0.1"));
    EXPECT_TRUE(guard.ConnectionOpened(5, "10.0.0.1", 0));
    guard.SetMaxConnectionsPerAddress(0);
    for (int id = 6; id < 100; ++id) EXPECT_TRUE(guard.ConnectionOpened(id, "10.0.0.1", 0));
}

TEST(FloodGuardTest, LocksAnAddressOutForAMinuteAfterTooManyWrongPasswords) {
    const int64_t MINUTE = FloodGuard::PASSWORD_WINDOW_MS;
    struct Case {
        const char* name;
        int limit;
        std::vector<int64_t> failures;  // times of the wrong passwords
        int64_t askedAt;
        bool lockedOut;
    };
    const Case cases[] = {
        {"below the limit", 4, {0, 1, 2}, 3, false},
        {"at the limit", 4, {0, 1, 2, 3}, 4, true},
        {"still within the minute", 4, {0, 1, 2, 3}, 3 + MINUTE - 1, true},
        {"the minute is over", 4, {0, 1, 2, 3}, 3 + MINUTE, false},
        {"failures spread over two windows", 4, {0, 1, MINUTE + 5, MINUTE + 6}, MINUTE + 7, false},
        {"no limit", 0, std::vector<int64_t>(50, 0), 1, false},
    };
    for (const Case& c : cases) {
        FloodGuard guard;
        guard.SetPasswordLockout(c.limit);
        for (int64_t at : c.failures) guard.PasswordFailed(FloodGuard::CHANNEL_PASSWORD, "10.0.0.1", at);
        EXPECT_EQ(c.lockedOut, guard.IsLockedOut(FloodGuard::CHANNEL_PASSWORD, "10.0.0.1", c.askedAt)) << c.name;
        EXPECT_FALSE(guard.IsLockedOut(FloodGuard::CHANNEL_PASSWORD, "10.0.0.2", c.askedAt)) << c.name;
        // Channel guesses never lock the address out of the other doors.
        for (FloodGuard::Door other : {FloodGuard::SERVER_PASSWORD, FloodGuard::ADMIN_PASSWORD})
            EXPECT_FALSE(guard.IsLockedOut(other, "10.0.0.1", c.askedAt)) << c.name;
        guard.Prune(c.askedAt + 2 * MINUTE);
        EXPECT_FALSE(guard.IsLockedOut(FloodGuard::CHANNEL_PASSWORD, "10.0.0.1", c.askedAt)) << c.name << ": pruned";
    }
}

TEST(FloodGuardTest, ReportsEachConnectionOnceWhenItsTimeToLogInRunsOut) {
    FloodGuard guard;
    guard.SetLoginTimeout(2);
    guard.ConnectionOpened(1, "10.0.0.1", 0);
    guard.ConnectionOpened(2, "10.0.0.1", 500);
    guard.ConnectionOpened(3, "10.0.0.1", 1000);
    guard.ConnectionClosed(2);
    EXPECT_TRUE(guard.TakeLoginExpired(1999).empty());
    EXPECT_EQ(std::vector<int>({1}), guard.TakeLoginExpired(2600));  // 2 was closed
    EXPECT_EQ(std::vector<int>({3}), guard.TakeLoginExpired(5000));
    EXPECT_TRUE(guard.TakeLoginExpired(9000).empty());
    guard.SetLoginTimeout(0);
    guard.ConnectionOpened(4, "10.0.0.1", 9000);
    EXPECT_TRUE(guard.TakeLoginExpired(1000000).empty());
}

class CountingAcceptListener : public AcceptListener {
public:
    void OnNewConnection(StreamHandler* handler) override {
        ++connections;
        handler->SetListener(&streams);
    }
    std::atomic<int> connections{0};
    RecordingStreamListener streams;
};

// True when the peer closed the socket within the time.
bool ClosedByPeer(int fd, int timeoutMs) {
    pollfd ready = {fd, POLLIN, 0};
    char byte;
    return poll(&ready, 1, timeoutMs) == 1 && recv(fd, &byte, 1, 0) == 0;
}

TEST(AcceptorTest, WithTheDescriptorTableFullNewcomersAreClosedAndServedAgainOnceFree) {
    CountingAcceptListener accepts;
    ReactorLoop loop(EPOLL_REACTOR);
    loop.Start();
    Acceptor acceptor(loop.reactor());
    acceptor.SetListener(&accepts);
    ASSERT_EQ(0, acceptor.Open(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1")));
    ACE_INET_Addr address;
    ASSERT_EQ(0, acceptor.acceptor().get_local_addr(address));
    ACE_SOCK_Connector connector;
    ACE_SOCK_Stream existing;
    ASSERT_EQ(0, connector.connect(existing, address));
    ASSERT_TRUE(WaitFor([&] { return accepts.connections == 1; }));
    // Data once before the table fills: the sanitizers' first check of a call needs a
    // descriptor of its own.
    ASSERT_EQ(1, existing.send_n("w", 1));
    ASSERT_TRUE(WaitFor([&] { return accepts.streams.Data() == "w"; }));
    unsigned long refusals = 0;
    ASSERT_TRUE(loop.RunOnLoop([&] { refusals = acceptor.GetRefusedForDescriptors(); }));

    // The clients' sockets exist before the table fills; connecting needs no descriptor.
    const int refused = socket(AF_INET, SOCK_STREAM, 0);
    const int later = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(refused, 0);
    ASSERT_GE(later, 0);
    rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(later + 16);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);

    sockaddr_in target = {};
    socklen_t targetSize = sizeof(target);
    ASSERT_EQ(0, getsockname(acceptor.acceptor().get_handle(), reinterpret_cast<sockaddr*>(&target), &targetSize));
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&target);
    ASSERT_EQ(0, connect(refused, peer, sizeof(target)));
    EXPECT_TRUE(ClosedByPeer(refused, 5000));
    // The loop still serves the connection it had.
    ASSERT_EQ(1, existing.send_n("x", 1));
    EXPECT_TRUE(WaitFor([&] { return accepts.streams.Data() == "wx"; }));
    ASSERT_TRUE(loop.RunOnLoop([&] { refusals = acceptor.GetRefusedForDescriptors(); }));
    EXPECT_EQ(1u, refusals);
    EXPECT_EQ(1, accepts.connections);

    for (int fd : filler) close(fd);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
    ASSERT_EQ(0, connect(later, peer, sizeof(target)));
    EXPECT_TRUE(WaitFor([&] { return accepts.connections == 2; }));
    close(refused);
    close(later);
    existing.close();
    ASSERT_TRUE(WaitFor([&] { return accepts.streams.Closed() == 2; }));
    ASSERT_TRUE(loop.RunOnLoop([&] { acceptor.close(); }));
}

TEST(ServerNodeStartTest, TimersThatCannotBeScheduledEndStartUpAndFreeThePorts) {
    ACE_Select_Reactor* impl = new ACE_Select_Reactor;
    impl->timer_queue(0);  // every schedule_timer fails now
    ACE_Reactor reactor(impl, true);
    quorvane::server::ServerNode node(&reactor, &reactor, 0, false);
    const int tcp = testing_support::FreePort(SOCK_STREAM), udp = testing_support::FreePort(SOCK_DGRAM);
    EXPECT_FALSE(node.StartServer(tcp, udp, BindAddress::One(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1"))));
    EXPECT_FALSE(node.IsStarted());
    EXPECT_EQ("Unable to schedule the timers of the server.", node.GetStartError());
    // Both ports are free again.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(tcp));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    close(probe);
}

}  // namespace
