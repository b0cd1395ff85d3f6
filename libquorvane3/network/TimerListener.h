#ifndef QUORVANE_NETWORK_TIMERLISTENER_H
#define QUORVANE_NETWORK_TIMERLISTENER_H

class TimerListener {
public:
    // Called on the thread of the reactor the timer is scheduled on.
    virtual void OnTimerExpired(int timerId) = 0;
    virtual ~TimerListener() = default;
};

#endif
