// Turns a reactor timer into OnTimerExpired(timer id). Deletes itself when the reactor
// closes it (a cancel with close notification, or reactor shutdown).
#ifndef QUORVANE_NETWORK_TIMERHANDLER_H
#define QUORVANE_NETWORK_TIMERHANDLER_H

#include <ace/Event_Handler.h>

#include "network/TimerListener.h"

class TimerHandler : public ACE_Event_Handler {
public:
    TimerHandler(TimerListener* listener, int timerId);

    int handle_timeout(const ACE_Time_Value& now, const void* act = 0) override;
    int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;

private:
    ~TimerHandler() override = default;

    TimerListener* listener_;
    int timerId_;
};

#endif
