#include "network/TimerHandler.h"

TimerHandler::TimerHandler(TimerListener* listener, int timerId)
    : ACE_Event_Handler(0, 0), listener_(listener), timerId_(timerId) {}

int TimerHandler::handle_timeout(const ACE_Time_Value&, const void*) {
    if (listener_ != 0) {
        listener_->OnTimerExpired(timerId_);
    }
    return 0;  // a repeating timer stays scheduled
}

// The reactor lets go of the handler (a cancel that asks for the close callback, or the
// reactor's shutdown): nobody else refers to it any more.
int TimerHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    delete this;
    return 0;
}
