// The voice thread's precedence and CPUs: given up only while the thread itself moves a
// flood of datagrams (a flood must not starve the control plane), taken again once the
// rate is low, whatever CPU time the kernel charges it with; a CPU of its own where the
// process has several.
#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/CpuPlacement.h"
#include "network/PrecedenceRule.h"
#include "network/ThreadPrecedence.h"

namespace {

const int64_t MS = 1000000;

TEST(PrecedenceRuleTest, DecidesByDatagramsPerWindowWithHysteresis) {
    const unsigned FLOOD = PrecedenceRule::RELEASE_DATAGRAMS, RETAKE = PrecedenceRule::RETAKE_DATAGRAMS;
    struct Step {
        int64_t atMs;
        unsigned datagrams;  // counted before the decision at atMs
        PrecedenceRule::Change expected;
    } steps[] = {
        {50, FLOOD * 2, PrecedenceRule::KEEP},      // no window has passed yet
        {100, 0, PrecedenceRule::RELEASE},          // the flood, over the first window
        {200, RETAKE, PrecedenceRule::KEEP},        // half the budget is still too much
        {300, RETAKE - 1, PrecedenceRule::RETAKE},  // below it
        {400, FLOOD - 1, PrecedenceRule::KEEP},     // busy voice, short of a flood
        {500, FLOOD, PrecedenceRule::RELEASE},
        {10500, FLOOD * 2, PrecedenceRule::RETAKE},  // the same count over a long quiet spell
        {10600, FLOOD, PrecedenceRule::RELEASE},
    };
    PrecedenceRule rule(0, true);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.atMs);
        rule.Count(step.datagrams);
        const PrecedenceRule::Change change = rule.Decide(step.atMs * MS);
        EXPECT_EQ(change, step.expected);
        rule.Applied(change, true);
    }
    // A change the system refused leaves the state as it was, to be tried again.
    PrecedenceRule refused(0, true);
    refused.Count(FLOOD);
    EXPECT_EQ(refused.Decide(100 * MS), PrecedenceRule::RELEASE);
    refused.Applied(PrecedenceRule::RELEASE, false);
    EXPECT_TRUE(refused.Active());
}

TEST(CpuPlacementTest, VoiceTakesTheHighestCpuWhenThereAreSeveral) {
    struct Case {
        std::vector<int> allowed;
        int voiceCpu;
        const char* main;
    } cases[] = {
        {{0}, -1, "0"}, {{3}, -1, "3"}, {{0, 1}, 1, "0"}, {{0, 2, 5, 6, 7}, 7, "0,2,5-6"}, {{1, 2, 3}, 3, "1-2"},
    };
    for (const Case& c : cases) {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        for (int cpu : c.allowed) CPU_SET(cpu, &allowed);
        const CpuPlacement placement(allowed);
        SCOPED_TRACE(CpuPlacement::Text(allowed));
        EXPECT_EQ(placement.VoiceCpu(), c.voiceCpu);
        EXPECT_EQ(placement.Separate(), c.voiceCpu >= 0);
        EXPECT_EQ(CpuPlacement::Text(placement.MainCpus()), c.main);
        if (placement.Separate()) {
            EXPECT_EQ(CpuPlacement::Text(placement.VoiceCpus()), std::to_string(c.voiceCpu));
        }
    }
}

int Policy() {
    const int policy = sched_getscheduler(0);
    return policy < 0 ? policy : policy & ~SCHED_RESET_ON_FORK;
}

TEST(ThreadPrecedenceTest, FloodOfItsOwnDatagramsGivesPrecedenceUpUntilTheRateFalls) {
    bool granted = false, resetOnFork = false;
    std::vector<int> policies;  // after Prefer, a busy window, a flood, a quiet one
    std::thread voice([&] {
        granted = ThreadPrecedence::Prefer();
        if (!granted) return;
        resetOnFork = (sched_getscheduler(0) & SCHED_RESET_ON_FORK) != 0;
        policies.push_back(Policy());
        // Windows are measured from Prefer on the coarse clock: step well past each.
        int64_t now = 0;
        timespec start;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &start);
        now = start.tv_sec * 1000 * MS + start.tv_nsec;
        for (unsigned datagrams : {1000u, 50000u, 10u}) {
            ThreadPrecedence::CountDatagrams(datagrams);
            now += 150 * MS;
            ThreadPrecedence::AfterWork(now);
            policies.push_back(Policy());
        }
    });
    voice.join();
    if (!granted) GTEST_SKIP() << "real-time scheduling is not permitted here";
    EXPECT_TRUE(resetOnFork);
    EXPECT_EQ(policies, (std::vector<int>{SCHED_FIFO, SCHED_FIFO, SCHED_OTHER, SCHED_FIFO}));
    EXPECT_NE(ThreadPrecedence::Describe().find("real-time priority 1 (SCHED_FIFO)"), std::string::npos);
    // Another thread never had precedence, and asking there changes nothing.
    ThreadPrecedence::AfterWork(0);
    EXPECT_FALSE(ThreadPrecedence::Active());
}

// The backstop: a real-time thread that runs past RLIMIT_RTTIME's soft limit without
// sleeping (a bug: relaying always sleeps) loses its priority, and the process lives on.
TEST(ThreadPrecedenceTest, RunningPastTheRealTimeLimitWithoutSleepingTakesPrecedenceAway) {
    rlimit original;
    ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &original), 0);
    const rlimit limit = {30000, 5000000};  // us: the signal at 30 ms, the kill at 5 s
    if (original.rlim_max != RLIM_INFINITY && original.rlim_max < limit.rlim_max) GTEST_SKIP();
    ASSERT_EQ(setrlimit(RLIMIT_RTTIME, &limit), 0);
    bool granted = false;
    int policy = -1;
    std::thread spinner([&] {
        granted = ThreadPrecedence::Prefer();
        if (!granted) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (Policy() == SCHED_FIFO && std::chrono::steady_clock::now() < deadline) {
        }
        policy = Policy();
        ThreadPrecedence::AfterWork(0);
    });
    spinner.join();
    setrlimit(RLIMIT_RTTIME, &original);
    if (!granted) GTEST_SKIP() << "real-time scheduling is not permitted here";
    EXPECT_EQ(policy, SCHED_OTHER);
}

}  // namespace
