// The voice thread's precedence: given up while the thread keeps a core busy (a flood of
// datagrams must not starve the control plane), taken again once its load is light.
#include <sched.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "network/ThreadPrecedence.h"

namespace {

int Policy() {
    sched_param param;
    int policy = -1;
    pthread_getschedparam(pthread_self(), &policy, &param);
    return policy;
}

TEST(ThreadPrecedenceTest, BusyThreadGivesUpPrecedenceAndRetakesItWhenLight) {
    bool granted = false, releasedWhenBusy = false, retakenWhenIdle = false;
    int policyWhileBusy = -1;
    std::thread worker([&] {
        granted = ThreadPrecedence::Prefer();
        if (!granted) return;
        const int policyGranted = Policy();
        typedef std::chrono::steady_clock Clock;
        const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
        // Busy: all of its core for as long as it takes a window to close.
        while (ThreadPrecedence::Active() && Clock::now() < limit) ThreadPrecedence::AfterWork();
        releasedWhenBusy = policyGranted == SCHED_FIFO && !ThreadPrecedence::Active();
        policyWhileBusy = Policy();
        // Light: a little work now and then.
        while (!ThreadPrecedence::Active() && Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ThreadPrecedence::AfterWork();
        }
        retakenWhenIdle = ThreadPrecedence::Active() && Policy() == SCHED_FIFO;
    });
    worker.join();
    if (!granted) GTEST_SKIP() << "real-time scheduling is not permitted here";
    EXPECT_TRUE(releasedWhenBusy);
    EXPECT_EQ(policyWhileBusy, SCHED_OTHER);
    EXPECT_TRUE(retakenWhenIdle);
    // Another thread never had precedence, and asking there changes nothing.
    ThreadPrecedence::AfterWork();
    EXPECT_FALSE(ThreadPrecedence::Active());
}

}  // namespace
