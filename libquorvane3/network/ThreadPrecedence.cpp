#include "network/ThreadPrecedence.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

#include "network/CpuPlacement.h"
#include "network/PrecedenceRule.h"

namespace {

struct State {
    bool granted = false;  // Prefer succeeded: the thread may switch between the two
    PrecedenceRule rule;
};

thread_local State state;

// What the loops got at start, for Describe.
struct Record {
    bool asked = false;
    bool granted = false;
    int refusal = 0;  // errno of the refused request
    bool voicePlaced = false, mainPlaced = false;
    std::string voiceCpus, mainCpus, allCpus;
    bool separate = false;
};

// Guards the record: the two loop threads write it at start, any thread reads it.
std::mutex& RecordLock() {
    static std::mutex lock;
    return lock;
}

Record& TheRecord() {
    static Record record;
    return record;
}

// The thread that holds precedence, for the real-time limit's signal.
std::atomic<pid_t> preferredThread(0);
std::atomic<bool> revoked(false);

int64_t CoarseNanoseconds() {
    timespec now;
    // Read without a system call; its few milliseconds of resolution suit a 100 ms window.
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The calling thread's policy; a child process never inherits real-time priority.
int SetPolicy(pid_t thread, bool realTime) {
    sched_param param;
    std::memset(&param, 0, sizeof param);
    param.sched_priority = realTime ? ThreadPrecedence::PRIORITY : 0;
    const int policy = (realTime ? SCHED_FIFO : SCHED_OTHER) | SCHED_RESET_ON_FORK;
    return syscall(SYS_sched_setscheduler, thread, policy, &param) == 0 ? 0 : errno;
}

// RLIMIT_RTTIME's soft limit reached: the thread has run on real-time priority that long
// without sleeping, which relaying never does. Async-signal-safe: one system call.
void OnRealTimeLimit(int) {
    const int saved = errno;
    if (const pid_t thread = preferredThread.load()) SetPolicy(thread, false);
    revoked.store(true);
    errno = saved;
}

// Only where nobody else handles the signal (its default ends the process).
void WatchRealTimeLimit() {
    struct sigaction current;
    if (sigaction(SIGXCPU, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnRealTimeLimit;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGXCPU, &action, nullptr);
}

}  // namespace

bool ThreadPrecedence::Prefer() {
    const int error = SetPolicy(0, true);
    {
        std::lock_guard<std::mutex> guard(RecordLock());
        TheRecord().asked = true;
        TheRecord().granted = error == 0;
        TheRecord().refusal = error;
    }
    if (error != 0) return false;
    state.granted = true;
    state.rule = PrecedenceRule(CoarseNanoseconds(), true);
    preferredThread.store(static_cast<pid_t>(syscall(SYS_gettid)));
    revoked.store(false);
    WatchRealTimeLimit();
    return true;
}

void ThreadPrecedence::CountDatagrams(unsigned datagrams) { state.rule.Count(datagrams); }

void ThreadPrecedence::AfterWork() {
    if (state.granted) AfterWork(CoarseNanoseconds());
}

void ThreadPrecedence::AfterWork(int64_t nowNs) {
    if (!state.granted) return;
    if (revoked.load(std::memory_order_relaxed)) {
        // The limit's signal already set the policy: never again on this run.
        state.granted = false;
        state.rule.Applied(PrecedenceRule::RELEASE, true);
        return;
    }
    const PrecedenceRule::Change change = state.rule.Decide(nowNs);
    if (change == PrecedenceRule::KEEP) return;
    state.rule.Applied(change, SetPolicy(0, change == PrecedenceRule::RETAKE) == 0);
}

bool ThreadPrecedence::Active() { return state.granted && state.rule.Active(); }

bool ThreadPrecedence::PlaceVoiceLoop(const CpuPlacement& placement) {
    const bool placed = placement.PlaceVoiceThread();
    std::lock_guard<std::mutex> guard(RecordLock());
    Record& record = TheRecord();
    record.voicePlaced = placed && placement.Separate();
    record.separate = placement.Separate();
    record.voiceCpus = CpuPlacement::Text(placement.VoiceCpus());
    return placed;
}

bool ThreadPrecedence::PlaceMainLoop(const CpuPlacement& placement) {
    const bool placed = placement.PlaceMainThread();
    std::lock_guard<std::mutex> guard(RecordLock());
    Record& record = TheRecord();
    record.mainPlaced = placed && placement.Separate();
    record.mainCpus = CpuPlacement::Text(placement.MainCpus());
    return placed;
}

// ", RLIMIT_RTPRIO 0" when the limit in force explains a refusal; empty otherwise.
static std::string RealTimeLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return "";
    return ", RLIMIT_RTPRIO " + std::to_string(limit.rlim_cur);
}

std::string ThreadPrecedence::Describe() {
    std::lock_guard<std::mutex> guard(RecordLock());
    const Record& record = TheRecord();
    std::string text = "voice thread: ";
    if (record.granted) text += "real-time priority " + std::to_string(PRIORITY) + " (SCHED_FIFO)";
    else if (record.asked)
        text += std::string("ordinary scheduling (real-time priority refused: ") +
                std::generic_category().message(record.refusal) + RealTimeLimit() + ")";
    else text += "ordinary scheduling";
    if (record.voicePlaced && record.mainPlaced)
        return text + ", CPU " + record.voiceCpus + " of its own; main loop: CPU " + record.mainCpus;
    if (record.separate) return text + ", CPUs shared with the main loop (pinning refused)";
    return text + ", sharing CPU " + (record.voiceCpus.empty() ? std::string("?") : record.voiceCpus) +
           " with the main loop";
}
