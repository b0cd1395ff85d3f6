// A loop's sign of life for a health check: a timer of the loop stamps the time every
// PERIOD_MS, and any thread reads how long ago it last did, from one atomic, without
// waiting for the loop. A loop that hangs or is held up stops stamping.
//
// Threads: Start and the destructor on the owner's thread (the destructor once the loop
// no longer runs, or on it); the timer on the loop's thread; SilenceMs on any thread.
#ifndef QUORVANE_NETWORK_HEARTBEAT_H
#define QUORVANE_NETWORK_HEARTBEAT_H

#include <atomic>
#include <cstdint>

#include <ace/Event_Handler.h>

class Heartbeat : public ACE_Event_Handler {
public:
    enum { PERIOD_MS = 250 };

    explicit Heartbeat(ACE_Reactor* reactor);
    ~Heartbeat() override;
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    // Stamps now and schedules the timer; false when it could not be scheduled.
    bool Start();
    // Milliseconds since the loop last stamped; -1 before Start.
    int64_t SilenceMs() const;

    int handle_timeout(const ACE_Time_Value& now, const void* act) override;

private:
    static int64_t NowMs();

    std::atomic<int64_t> stampMs_{-1};  // steady clock
    long timerId_ = -1;
};

#endif
