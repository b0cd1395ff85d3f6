// The same number of connections to bench/minbroadcast, which writes them --lines lines of
// --line-bytes bytes each: the CPU time a minimal program spends per delivered line.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "BenchNet.h"
#include "Modes.h"
#include "ProcStats.h"

int RunMinimal(Crowd& crowd, const Options& o) {
    if (!crowd.Setup(o.users, 0, true)) return 2;
    const std::vector<int> all = crowd.Members();
    double t = 0;
    if (!crowd.WaitFor(State::Ready, all, o.setupTimeout, t)) {
        printf("RESULT ok=0 note=connect-failed failures=%d\n", crowd.Failures());
        return 1;
    }
    crowd.WaitQuiet(0.3, 10);
    const uint64_t lines0 = crowd.LinesIn(), bytes0 = crowd.BytesIn();
    const uint64_t expected = uint64_t(o.users) * uint64_t(o.lines);
    const double cpu0 = ProcessCpu(o.serverPid), t0 = Now();
    crowd.SendTcp(crowd.At(0), "go " + std::to_string(o.lines) + " " + std::to_string(o.lineBytes) + "\r\n");
    crowd.SetLastTcpData(t0);
    const double until = std::min(t0 + o.setupTimeout, crowd.Deadline());
    while (crowd.LinesIn() - lines0 < expected && Now() < until && Now() - crowd.LastTcpData() < 2) crowd.Pump(5);
    const double seconds = crowd.LastTcpData() - t0, cpu = ProcessCpu(o.serverPid) - cpu0;
    const uint64_t lines = crowd.LinesIn() - lines0;
    printf("RESULT ok=%d sockets=%d lines=%" PRIu64 " expected=%" PRIu64
           " line_bytes=%.1f seconds=%.3f cpu_s=%.3f "
           "cpu_us_per_line=%.4f\n",
           lines == expected ? 1 : 0, o.users, lines, expected,
           lines ? double(crowd.BytesIn() - bytes0) / double(lines) : 0, seconds, cpu,
           lines ? cpu * 1e6 / double(lines) : -1);
    return lines == expected ? 0 : 1;
}
