#include "network/Heartbeat.h"

#include <chrono>

#include <ace/Reactor.h>

Heartbeat::Heartbeat(ACE_Reactor* reactor) : ACE_Event_Handler(reactor) {}

Heartbeat::~Heartbeat() {
    if (timerId_ != -1) reactor()->cancel_timer(timerId_, nullptr, 0);
}

int64_t Heartbeat::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Heartbeat::Start() {
    stampMs_.store(NowMs(), std::memory_order_relaxed);
    const ACE_Time_Value period(0, static_cast<suseconds_t>(PERIOD_MS) * 1000);
    timerId_ = reactor()->schedule_timer(this, nullptr, period, period);
    return timerId_ != -1;
}

int64_t Heartbeat::SilenceMs() const {
    const int64_t stamp = stampMs_.load(std::memory_order_relaxed);
    return stamp < 0 ? -1 : NowMs() - stamp;
}

int Heartbeat::handle_timeout(const ACE_Time_Value&, const void*) {
    stampMs_.store(NowMs(), std::memory_order_relaxed);
    return 0;
}
