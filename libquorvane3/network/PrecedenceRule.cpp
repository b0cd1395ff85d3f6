#include "network/PrecedenceRule.h"

PrecedenceRule::PrecedenceRule(int64_t nowNs, bool active) : windowStartNs_(nowNs), active_(active) {}

PrecedenceRule::Change PrecedenceRule::Decide(int64_t nowNs) {
    const int64_t WINDOW_NS = static_cast<int64_t>(WINDOW_MS) * 1000000;
    const int64_t elapsed = nowNs - windowStartNs_;
    if (elapsed < WINDOW_NS) return KEEP;
    // The rate over the time since the last decision, scaled to one window.
    const double perWindow = static_cast<double>(moved_) * WINDOW_NS / static_cast<double>(elapsed);
    windowStartNs_ = nowNs;
    moved_ = 0;
    if (active_ && perWindow >= RELEASE_DATAGRAMS) return RELEASE;
    if (!active_ && perWindow < RETAKE_DATAGRAMS) return RETAKE;
    return KEEP;
}

void PrecedenceRule::Applied(Change change, bool succeeded) {
    if (!succeeded || change == KEEP) return;
    active_ = change == RETAKE;
}
