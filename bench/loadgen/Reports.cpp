// Pieces of the modes' reports: the round-trip summary and the time windows.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "BenchNet.h"
#include "Modes.h"

std::string PingSummary(const char* prefix, const std::vector<double>& ms, bool withMedian) {
    char buf[400];
    if (ms.empty()) return std::string(prefix) + "pings=0";
    std::vector<double> v(ms);
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    size_t over = size_t(std::count_if(v.begin(), v.end(), [](double x) { return x > 50; }));
    char median[80] = "";
    if (withMedian) snprintf(median, sizeof median, " %sping_p50_ms=%.2f", prefix, at(0.5));
    snprintf(buf, sizeof buf, "%spings=%zu%s %sping_p99_ms=%.2f %sping_max_ms=%.2f %spings_over_50ms=%zu", prefix,
             v.size(), median, prefix, at(0.99), prefix, v.back(), prefix, over);
    return buf;
}

void AppendWindow(const std::string& path, const std::string& name, uint64_t fromNs, uint64_t toNs) {
    if (path.empty()) return;
    std::ofstream w(path, std::ios::app);
    if (!name.empty()) w << name << ' ';
    w << fromNs << ' ' << toNs << '\n';
}

std::string QuietPings(Crowd& crowd, double seconds, uint64_t& fromNs, uint64_t& toNs) {
    const size_t first = crowd.Pings().size();
    fromNs = NowNs();
    for (const double start = Now(); Now() - start < seconds;) crowd.Pump(5), crowd.KeepAlive();
    toNs = NowNs();
    return PingSummary("before_", crowd.PingsSince(first), true);
}
