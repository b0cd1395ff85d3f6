// When a thread that moves datagrams (the voice loop) holds real-time precedence: decided
// from the datagrams it moved itself (received and sent) per window, never from its CPU
// time, which the kernel also charges with other work that happens to interrupt it (the
// network processing of a storm of TCP traffic). Voice never comes near the budget: even
// a large server's talkers and receivers move a few thousand datagrams per window. Only a
// flood passes it, and real-time precedence must not let a flood starve the control
// plane; precedence comes back once the rate has fallen to half the budget.
//
// Pure: the caller passes the time and the counts (tests inject both). One thread.
#ifndef QUORVANE_NETWORK_PRECEDENCERULE_H
#define QUORVANE_NETWORK_PRECEDENCERULE_H

#include <cstdint>

class PrecedenceRule {
public:
    enum {
        WINDOW_MS = 100,
        // Datagrams moved per window at or above which precedence is given up (about a
        // third of a core of relaying on a small machine: well before the thread is busy
        // all the time, when a real-time thread would keep the kernel's deferred network
        // work on its CPU waiting), and below half of which it is taken again. A server's
        // realistic voice (500 users talking in channels of ten) moves about 2,500.
        RELEASE_DATAGRAMS = 8000,
        RETAKE_DATAGRAMS = RELEASE_DATAGRAMS / 2,
    };
    enum Change { KEEP, RELEASE, RETAKE };

    // The first window starts now; active: whether precedence is held.
    explicit PrecedenceRule(int64_t nowNs = 0, bool active = true);

    // Counts datagrams moved; cheap.
    void Count(unsigned datagrams) { moved_ += datagrams; }
    // Once a window has passed since the last decision: the rate over it (a long quiet
    // spell is a low rate), and what to do about it. The caller reports with Applied
    // whether the change took effect.
    Change Decide(int64_t nowNs);
    void Applied(Change change, bool succeeded);
    bool Active() const { return active_; }

private:
    int64_t windowStartNs_;
    uint64_t moved_ = 0;
    bool active_;
};

#endif
