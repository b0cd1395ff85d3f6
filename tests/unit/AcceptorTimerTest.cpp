#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ace/ACE.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>

#include "ReactorLoop.h"
#include "RecordingStreamListener.h"
#include "network/Acceptor.h"
#include "network/TimerHandler.h"

using namespace networktest;

namespace {

const ACE_INET_Addr LOOPBACK_ANY_PORT(static_cast<u_short>(0), "127.0.0.1");

// Attaches every new connection to one recording stream listener, as the server does.
class RecordingAcceptListener : public AcceptListener {
public:
    void OnNewConnection(StreamHandler* handler) override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++connections_;
        nonBlocking_ = nonBlocking_ && ACE_BIT_ENABLED(ACE::get_flags(handler->get_handle()), ACE_NONBLOCK);
        handler->SetListener(&streams);
    }
    int Connections() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return connections_;
    }
    bool AllNonBlocking() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return nonBlocking_;
    }

    RecordingStreamListener streams;

private:
    mutable std::mutex mutex_;
    int connections_ = 0;
    bool nonBlocking_ = true;
};

class RecordingTimerListener : public TimerListener {
public:
    void OnTimerExpired(int timerId) override {
        std::lock_guard<std::mutex> guard(mutex_);
        ids_.push_back(timerId);
        thread_ = std::this_thread::get_id();
    }
    std::vector<int> Ids() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return ids_;
    }
    std::thread::id Thread() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return thread_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> ids_;
    std::thread::id thread_;
};

class AcceptorTimerTest : public ::testing::TestWithParam<ReactorKind> {};

TEST_P(AcceptorTimerTest, AcceptsEveryClientAndHandsItToTheListener) {
    RecordingAcceptListener accepts;
    ReactorLoop loop(GetParam());
    loop.Start();
    Acceptor acceptor(loop.reactor());
    acceptor.SetListener(&accepts);
    ASSERT_EQ(0, acceptor.Open(LOOPBACK_ANY_PORT));
    ACE_INET_Addr address;
    ASSERT_EQ(0, acceptor.acceptor().get_local_addr(address));

    ACE_SOCK_Connector connector;
    ACE_SOCK_Stream first, second;
    ASSERT_EQ(0, connector.connect(first, address));
    ASSERT_EQ(0, connector.connect(second, address));
    ASSERT_TRUE(WaitFor([&] { return accepts.Connections() == 2; }));
    EXPECT_TRUE(accepts.AllNonBlocking());

    ASSERT_EQ(3, first.send_n("one", 3));
    ASSERT_EQ(3, second.send_n("two", 3));
    ASSERT_TRUE(WaitFor([&] { return accepts.streams.Data().size() == 6; }));
    const std::string data = accepts.streams.Data();
    EXPECT_TRUE(data == "onetwo" || data == "twoone") << data;

    first.close();
    second.close();
    ASSERT_TRUE(WaitFor([&] { return accepts.streams.Closed() == 2; }));
    ASSERT_TRUE(loop.RunOnLoop([&] { acceptor.close(); }));
}

TEST_P(AcceptorTimerTest, TimerReportsItsIdOnTheLoopAndFreesItselfWhenClosed) {
    RecordingTimerListener timers;
    ReactorLoop loop(GetParam());
    loop.Start();
    long id = -1;
    ASSERT_TRUE(loop.RunOnLoop([&] {
        id = loop.reactor()->schedule_timer(new TimerHandler(&timers, 7), 0, ACE_Time_Value::zero,
                                            ACE_Time_Value(0, 1000));
    }));
    ASSERT_NE(-1, id);
    ASSERT_TRUE(WaitFor([&] { return timers.Ids().size() >= 3; }));
    // With its close callback the handler deletes itself; the leak checker sees if not.
    ASSERT_TRUE(loop.RunOnLoop([&] { loop.reactor()->cancel_timer(id, 0, 0); }));
    const std::vector<int> ids = timers.Ids();
    EXPECT_EQ(static_cast<long>(ids.size()), std::count(ids.begin(), ids.end(), 7));
    EXPECT_EQ(loop.LoopThread(), timers.Thread());

    // One still scheduled when the reactor shuts down is freed as well.
    loop.reactor()->schedule_timer(new TimerHandler(&timers, 8), 0, ACE_Time_Value(3600));
}

INSTANTIATE_TEST_SUITE_P(Reactors, AcceptorTimerTest, ::testing::Values(EPOLL_REACTOR, SELECT_REACTOR),
                         ReactorKindName);

// Exposes the activation step so that a failing one can be driven directly.
class ExposedAcceptor : public Acceptor {
public:
    using Acceptor::Acceptor;
    using Acceptor::activate_svc_handler;
};

TEST(AcceptorTest, FailedActivationNeverReachesTheListenerAndClosingAllowsReopening) {
    RecordingAcceptListener accepts;
    ReactorLoop loop(EPOLL_REACTOR);
    ExposedAcceptor acceptor(loop.reactor());
    acceptor.SetListener(&accepts);
    // No socket: it cannot be made non-blocking, so the base closes (and frees) it.
    EXPECT_EQ(-1, acceptor.activate_svc_handler(new StreamHandler(loop.reactor())));
    EXPECT_EQ(0, accepts.Connections());
    EXPECT_EQ(0, accepts.streams.Closed());

    ASSERT_EQ(0, acceptor.Open(LOOPBACK_ANY_PORT));
    EXPECT_EQ(-1, acceptor.Open(LOOPBACK_ANY_PORT));  // already open
    acceptor.close();
    EXPECT_EQ(0, acceptor.Open(LOOPBACK_ANY_PORT));
}

}  // namespace
