#include "network/ThreadPrecedence.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cstdint>

namespace {

struct State {
    bool granted = false;  // Prefer succeeded: the thread may switch between the two
    bool active = false;
    int64_t windowStartNs = 0;
    int64_t cpuAtStartNs = 0;
};

thread_local State state;

int64_t Nanoseconds(clockid_t clock) {
    timespec now;
    if (clock_gettime(clock, &now) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool SetRealTime(bool realTime) {
    sched_param param = {};
    param.sched_priority = realTime ? 1 : 0;
    return pthread_setschedparam(pthread_self(), realTime ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

}  // namespace

bool ThreadPrecedence::Prefer() {
    if (!SetRealTime(true)) return false;
    state.granted = true;
    state.active = true;
    // The coarse clock is read without a system call; its few milliseconds of
    // resolution are plenty for a window of 100 ms.
    state.windowStartNs = Nanoseconds(CLOCK_MONOTONIC_COARSE);
    state.cpuAtStartNs = Nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    return true;
}

void ThreadPrecedence::AfterWork() {
    if (!state.granted) return;
    const int64_t now = Nanoseconds(CLOCK_MONOTONIC_COARSE);
    const int64_t elapsed = now - state.windowStartNs;
    if (elapsed < static_cast<int64_t>(WINDOW_MS) * 1000000) return;
    const int64_t cpu = Nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    const int64_t percent = (cpu - state.cpuAtStartNs) * 100 / elapsed;
    state.windowStartNs = now;
    state.cpuAtStartNs = cpu;
    if (state.active && percent >= RELEASE_PERCENT) {
        if (SetRealTime(false)) state.active = false;
    } else if (!state.active && percent < RETAKE_PERCENT) {
        if (SetRealTime(true)) state.active = true;
    }
}

bool ThreadPrecedence::Active() {
    return state.active;
}
