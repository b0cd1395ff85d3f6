#include "server/ServerStatistics.h"

#include <ace/OS_NS_sys_time.h>

namespace quorvane {
namespace server {

namespace {

int64_t NowMicroseconds() {
    const ACE_Time_Value now = ACE_OS::gettimeofday();
    return static_cast<int64_t>(now.sec()) * 1000000 + now.usec();
}

}  // namespace

void ServerStatistics::MarkStarted() { startMicroseconds_.store(NowMicroseconds(), std::memory_order_relaxed); }

void ServerStatistics::Reset() {
    served_.store(0, std::memory_order_relaxed);
    peak_.store(0, std::memory_order_relaxed);
    voiceRx_.store(0, std::memory_order_relaxed);
    voiceTx_.store(0, std::memory_order_relaxed);
}

void ServerStatistics::CountLogin(int usersCounted) {
    served_.fetch_add(1, std::memory_order_relaxed);
    if (usersCounted > peak_.load(std::memory_order_relaxed)) peak_.store(usersCounted, std::memory_order_relaxed);
}

ACE_Time_Value ServerStatistics::GetUptime() const {
    const int64_t micros = NowMicroseconds() - startMicroseconds_.load(std::memory_order_relaxed);
    return ACE_Time_Value(static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000));
}

}  // namespace server
}  // namespace quorvane
