// The listeners' side of a voice run: counts the copies of the phase being measured and
// keeps their one-way latencies (send stamp in the payload to arrival), for percentiles,
// a dump of every sample, and the latency within time windows another run wrote.
#ifndef QUORVANE_BENCH_LOADGEN_VOICEMETER_H
#define QUORVANE_BENCH_LOADGEN_VOICEMETER_H

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

// Payload layout after the 8-byte audio header: send time (CLOCK_MONOTONIC ns), sequence,
// phase tag.
const int kStampOffset = 8;
const int kSeqOffset = 16;
const int kPhaseOffset = 20;
const int kMinSize = 24;

struct LatencySummary {
    double p50us = 0, p99us = 0, p999us = 0, maxus = 0;
};

class VoiceMeter {
public:
    // keepSamples: every copy's times are kept (for a dump or windows), not only its latency.
    explicit VoiceMeter(bool keepSamples);

    // Copies tagged with `tag` count from now on; 0 stops counting.
    void Begin(uint16_t tag);
    void End() { tag_ = 0; }
    // A relayed datagram arrived at `arrivedNs` (CLOCK_MONOTONIC) on `listener`'s socket.
    void OnCopy(const uint8_t* p, unsigned length, uint64_t arrivedNs, uint32_t listener);
    // The kernel's receive stamp (CLOCK_REALTIME) on the monotonic clock.
    uint64_t FromRealtime(const timespec& at) const;

    uint64_t Copies() const { return copies_; }
    double LastCopyAt() const { return lastCopy_; }
    void TouchLastCopy();
    LatencySummary Summary();
    // Every sample: "sent_ns received_ns latency_us seq listener".
    void Dump(const std::string& path) const;
    // For each line of the window file, the latency of the copies sent within it: a line
    // "from_ns to_ns" prints "WINDOW copies=...", a line "name from_ns to_ns" prints
    // "WINDOW name=NAME copies=...".
    void PrintWindows(const std::string& path) const;

private:
    struct Sample {
        uint64_t sentAt, receivedAt;
        uint32_t seq, listener;
    };
    void PrintWindow(const std::string& name, uint64_t from, uint64_t to) const;

    bool keepSamples_;
    uint16_t tag_ = 0;
    uint64_t copies_ = 0;
    std::vector<uint32_t> latencies_;  // ns
    std::vector<Sample> samples_;
    uint64_t realtimeOffset_ = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC, in ns
    double lastCopy_ = 0;
};

#endif
