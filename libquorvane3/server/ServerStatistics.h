// The server's running totals and gauges, for the chat command's statistics and for the
// metrics an operator scrapes: start time, users served and peak, voice bytes and
// datagrams, commands by word, closes by reason, transfers, the voice relay's latency.
// Every value is an atomic, so any thread reads them without a lock (a scrape never
// waits for the loop or the voice thread), and the thread that owns the event updates it.
#ifndef QUORVANE_SERVER_SERVERSTATISTICS_H
#define QUORVANE_SERVER_SERVERSTATISTICS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <ace/Time_Value.h>

namespace quorvane {
namespace server {

class ServerStatistics {
public:
    // Totals that only grow (until a stop zeroes the statistics).
    enum Counter {
        VOICE_DATAGRAMS_RECEIVED,
        VOICE_DATAGRAMS_RELAYED,  // copies sent
        VOICE_DROPPED_MALFORMED,  // too short for its kind, a length field under its header or over the
                                  // datagram, or of no known type (too long ones: PacketHandler)
        VOICE_DROPPED_STRANGER,   // naming a user it may not speak for
        VOICE_DROPPED_SILENT,     // audio from or to a user that is not logged in
        VOICE_DROPPED_REFUSED,    // a copy the kernel would not take
        CLOSED_LAGGING,
        CLOSED_LOGIN_TIMEOUT,
        CLOSED_ADDRESS_LIMIT,
        CLOSED_INACTIVE,
        CLOSED_TRANSFER_TIMEOUT,
        CLOSED_TLS_HANDSHAKE,  // failed or ran past its deadline on the TLS port
        PASSWORD_LOCKOUTS,
        UPLOADED_BYTES,
        DOWNLOADED_BYTES,
        COUNTER_COUNT
    };
    // Values that go up and down.
    enum Gauge {
        CONNECTIONS,  // every connected user, logged in or not
        USERS,        // logged in, administrators not counted: what the user limit counts
        ADMINS,       // logged in as the administrator
        CHANNELS,     // besides the root
        BANS,
        UPLOADS,  // data phases running
        DOWNLOADS,
        FILES_BYTES,  // bytes of the shared files of every channel
        FILES,        // shared files of every channel
        GAUGE_COUNT
    };
    // Upper bounds (microseconds) of the voice relay latency buckets; the last is +Inf.
    static const uint64_t LATENCY_BOUNDS_US[];
    enum { LATENCY_BUCKETS = 12, MAX_COMMANDS = 64 };

    // Main loop's thread: the server started (the uptime counts from now) / stopped
    // (every total back to 0; gauges stay, as they describe what is there).
    void MarkStarted();
    void Reset();
    // Main loop's thread: a successful login with this many users counted.
    void CountLogin(int usersCounted);

    void Add(Counter counter, uint64_t amount = 1) { counters_[counter].fetch_add(amount, std::memory_order_relaxed); }
    uint64_t Get(Counter counter) const { return counters_[counter].load(std::memory_order_relaxed); }
    void Change(Gauge gauge, int64_t delta) { gauges_[gauge].fetch_add(delta, std::memory_order_relaxed); }
    int64_t Get(Gauge gauge) const { return gauges_[gauge].load(std::memory_order_relaxed); }
    // The command of that index in the command table; index MAX_COMMANDS-1 counts words
    // that are no command.
    void CountCommand(size_t index);
    uint64_t GetCommandCount(size_t index) const;
    // Voice thread: one datagram's way from its arrival to its last copy sent.
    void RecordRelayLatency(uint64_t nanoseconds);
    // Cumulative count of the bucket (latencies at most its bound), the sum in seconds.
    uint64_t GetLatencyBucket(size_t bucket) const;
    uint64_t GetLatencyCount() const { return latencyCount_.load(std::memory_order_relaxed); }
    double GetLatencySumSeconds() const;

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
    std::atomic<uint64_t> counters_[COUNTER_COUNT] = {};
    std::atomic<int64_t> gauges_[GAUGE_COUNT] = {};
    std::atomic<uint64_t> commands_[MAX_COMMANDS] = {};
    std::atomic<uint64_t> latency_[LATENCY_BUCKETS] = {};  // per bucket, not cumulative
    std::atomic<uint64_t> latencyCount_{0};
    std::atomic<uint64_t> latencySumNs_{0};
};

}  // namespace server
}  // namespace quorvane

#endif
