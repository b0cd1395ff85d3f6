// How many commands each connection may run per second, and at once after a quiet spell:
// the token bucket every CommandReader draws on. 0 rate means no throttle.
//
// Threads: the main loop's thread, or the host's while no loop runs.
#ifndef QUORVANE_SERVER_COMMANDRATE_H
#define QUORVANE_SERVER_COMMANDRATE_H

#include "server/FloodGuard.h"

namespace quorvane {
namespace server {

class CommandRate {
public:
    void Set(int perSecond, int burst) {
        perSecond_ = perSecond;
        burst_ = burst;
    }
    int PerSecond() const { return perSecond_; }
    int Burst() const { return burst_; }

private:
    int perSecond_ = FloodGuard::DEFAULT_COMMAND_RATE;
    int burst_ = FloodGuard::DEFAULT_COMMAND_BURST;
};

}  // namespace server
}  // namespace quorvane

#endif
