#include "server/ServerStatistics.h"

#include <ace/OS_NS_sys_time.h>

namespace quorvane {
namespace server {

const uint64_t ServerStatistics::LATENCY_BOUNDS_US[LATENCY_BUCKETS] = {
    10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000, 100000, UINT64_MAX,
};

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
    for (std::atomic<uint64_t>& counter : counters_) counter.store(0, std::memory_order_relaxed);
    for (std::atomic<uint64_t>& command : commands_) command.store(0, std::memory_order_relaxed);
    for (std::atomic<uint64_t>& bucket : latency_) bucket.store(0, std::memory_order_relaxed);
    latencyCount_.store(0, std::memory_order_relaxed);
    latencySumNs_.store(0, std::memory_order_relaxed);
}

void ServerStatistics::CountLogin(int usersCounted) {
    served_.fetch_add(1, std::memory_order_relaxed);
    if (usersCounted > peak_.load(std::memory_order_relaxed)) peak_.store(usersCounted, std::memory_order_relaxed);
}

void ServerStatistics::CountCommand(size_t index) {
    commands_[index < MAX_COMMANDS ? index : MAX_COMMANDS - 1].fetch_add(1, std::memory_order_relaxed);
}

uint64_t ServerStatistics::GetCommandCount(size_t index) const {
    return index < MAX_COMMANDS ? commands_[index].load(std::memory_order_relaxed) : 0;
}

void ServerStatistics::RecordRelayLatency(uint64_t nanoseconds) {
    const uint64_t micros = nanoseconds / 1000;
    size_t bucket = 0;
    while (bucket + 1 < LATENCY_BUCKETS && micros > LATENCY_BOUNDS_US[bucket]) ++bucket;
    latency_[bucket].fetch_add(1, std::memory_order_relaxed);
    latencyCount_.fetch_add(1, std::memory_order_relaxed);
    latencySumNs_.fetch_add(nanoseconds, std::memory_order_relaxed);
}

uint64_t ServerStatistics::GetLatencyBucket(size_t bucket) const {
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= bucket && i < LATENCY_BUCKETS; ++i)
        cumulative += latency_[i].load(std::memory_order_relaxed);
    return cumulative;
}

double ServerStatistics::GetLatencySumSeconds() const {
    return static_cast<double>(latencySumNs_.load(std::memory_order_relaxed)) / 1e9;
}

ACE_Time_Value ServerStatistics::GetUptime() const {
    const int64_t micros = NowMicroseconds() - startMicroseconds_.load(std::memory_order_relaxed);
    return ACE_Time_Value(static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000));
}

}  // namespace server
}  // namespace quorvane
