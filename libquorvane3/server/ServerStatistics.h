// The server's running totals: start time, users served and peak, voice bytes each way.
// Every field is atomic, so any thread reads them without a lock: the chat command's
// answer on the main loop, the voice thread's counting, an outside reader of figures.
#ifndef QUORVANE_SERVER_SERVERSTATISTICS_H
#define QUORVANE_SERVER_SERVERSTATISTICS_H

#include <atomic>
#include <cstdint>

#include <ace/Time_Value.h>

namespace quorvane {
namespace server {

class ServerStatistics {
public:
    // Main loop's thread: the server started (the uptime counts from now) / stopped
    // (every total back to 0).
    void MarkStarted();
    void Reset();
    // Main loop's thread: a successful login with this many users counted.
    void CountLogin(int usersCounted);

    // Voice thread.
    void AddVoiceReceived(uint64_t bytes) { voiceRx_.fetch_add(bytes, std::memory_order_relaxed); }
    void AddVoiceSent(uint64_t bytes) { voiceTx_.fetch_add(bytes, std::memory_order_relaxed); }

    // Any thread.
    ACE_Time_Value GetUptime() const;
    int GetUsersServed() const { return served_.load(std::memory_order_relaxed); }
    int GetUsersPeak() const { return peak_.load(std::memory_order_relaxed); }
    uint64_t GetVoiceTxBytes() const { return voiceTx_.load(std::memory_order_relaxed); }
    uint64_t GetVoiceRxBytes() const { return voiceRx_.load(std::memory_order_relaxed); }

private:
    std::atomic<int64_t> startMicroseconds_{0};
    std::atomic<int> served_{0};
    std::atomic<int> peak_{0};
    std::atomic<uint64_t> voiceTx_{0};
    std::atomic<uint64_t> voiceRx_{0};
};

}  // namespace server
}  // namespace quorvane

#endif
