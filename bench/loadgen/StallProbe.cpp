// Spins on the calling core and records every gap in its own progress longer than 0.2 ms:
// time the core was given to something else (another task, or the host).
#include <algorithm>
#include <cstdio>

#include "BenchNet.h"
#include "Modes.h"

int StallProbe(double seconds) {
    const uint64_t threshold = 200000;
    uint64_t start = NowNs(), prev = start, end = start + uint64_t(seconds * 1e9);
    uint64_t lost = 0, longest = 0, count = 0;
    for (uint64_t now = start; now < end; now = NowNs()) {
        uint64_t gap = now - prev;
        if (gap > threshold) {
            ++count;
            lost += gap;
            longest = std::max(longest, gap);
        }
        prev = now;
    }
    double total = double(NowNs() - start);
    printf("RESULT stalls_per_s=%.1f longest_stall_ms=%.2f stalled_pct=%.2f seconds=%.1f\n",
           double(count) * 1e9 / total, double(longest) / 1e6, 100.0 * double(lost) / total, total / 1e9);
    return 0;
}
