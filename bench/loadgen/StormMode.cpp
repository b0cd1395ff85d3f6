// A control-plane storm: N users log in and K of them join one channel, or, with --burst,
// one client sends B joins at once to an audience already logged in. Another logged-in
// client pings every --ping-interval s and is read before every other socket. Reports the
// lines and bytes the storm delivered, the server's CPU time per line (also less what it
// spent before the storm, i.e. the voice load), its RSS before, at the peak of and after
// the storm, and the ping round trips; the storm's users then leave at once.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "BenchNet.h"
#include "Modes.h"
#include "ProcStats.h"

int RunStorm(Crowd& crowd, const Options& o) {
    if (!crowd.Setup(o.users, 2, true))  // past the crowd: the pinging and the bursting clients
        return 2;
    const int pinger = o.users, burster = o.users + 1;
    crowd.SetPinger(pinger);
    crowd.At(burster).joins = false;
    crowd.At(burster).watch = true;
    const std::vector<int> all = crowd.Members(), joiners = crowd.Joiners();
    auto pingsSince = [&](size_t from, const char* prefix, double until = 1e300) {
        return PingSummary(prefix, crowd.PingsSince(from, until));
    };
    const int pid = o.serverPid;
    double t = 0;
    std::vector<int> watchers = {pinger};
    if (o.burst > 0) watchers.push_back(burster);
    bool ok = crowd.WaitFor(State::LoggedIn, watchers, o.setupTimeout, t);
    // With a burst the crowd is the audience: it logs in before the storm.
    if (ok && o.burst > 0) {
        ok = crowd.WaitFor(State::LoggedIn, all, o.setupTimeout, t);
        printf("LOGIN users=%d ok=%d seconds=%.3f failures=%d\n", o.users, ok ? 1 : 0, t, crowd.Failures());
        crowd.WaitQuiet(0.5, 60);
    }
    if (!ok) {
        printf("RESULT ok=0 note=set-up-failed failures=%d\n", crowd.Failures());
        return 1;
    }
    // Two seconds of what runs without the storm (the voice load), to subtract its CPU time
    // and to see the pings of a quiet server.
    const size_t pingA = crowd.Pings().size();
    double cpuA = ProcessCpu(pid), tA = Now();
    while (Now() - tA < 2) crowd.Pump(5), crowd.KeepAlive();
    const std::string quietPings = pingsSince(pingA, "before_");
    const double baseShare = cpuA >= 0 ? (ProcessCpu(pid) - cpuA) / (Now() - tA) : -1;
    const long rssBefore = ProcessRssKiB(pid);
    crowd.SetRssPeak(rssBefore);
    const uint64_t lines0 = crowd.LinesIn(), bytes0 = crowd.BytesIn(), start = NowNs();
    const double cpu0 = ProcessCpu(pid), t0 = Now();
    const size_t ping0 = crowd.Pings().size();
    double loginS = 0, joinS = 0;
    int dones = 0;
    if (o.burst > 0) {
        User& b = crowd.At(burster);
        std::string text;
        for (int i = 0; i < o.burst; ++i)
            text += "join channel=\"/burst" + std::to_string(i % std::max(1, o.burstChannels)) + "/\"\r\n";
        crowd.SendTcp(b, text);
        double until = std::min(Now() + o.setupTimeout, crowd.Deadline());
        while (b.dones < o.burst && b.state != State::Failed && Now() < until) crowd.Pump(5), crowd.KeepAlive();
        dones = b.dones;
        joinS = Now() - t0;
        ok = dones == o.burst;
    } else {
        ok = crowd.WaitFor(State::LoggedIn, all, o.setupTimeout, loginS);
        if (ok && !joiners.empty()) ok = crowd.WaitFor(State::Ready, joiners, o.setupTimeout, joinS);
    }
    const double commandsS = Now() - t0;
    // The server may pause its writes for a while when its loop is busy: only a long silence
    // ends the storm.
    const bool quiet = crowd.WaitQuiet(3, o.setupTimeout);
    const double end = quiet ? crowd.LastTcpData() : Now();
    const double wall = Now() - t0, cpu1 = ProcessCpu(pid);
    const uint64_t lines = crowd.LinesIn() - lines0, bytes = crowd.BytesIn() - bytes0;
    const std::string stormPings = pingsSince(ping0, "", end);
    const long rssPeak = crowd.RssPeak();
    const int sockets =
        int(std::count_if(crowd.Users().begin(), crowd.Users().end(), [](const User& u) { return u.tcp >= 0; }));
    const uint64_t stormEnd = start + uint64_t((end - t0) * 1e9);
    if (!o.windowFile.empty() && !o.wholeWindow) {
        std::ofstream w(o.windowFile);
        w << start << ' ' << stormEnd << '\n';
    }
    int still = 0, lost = 0;
    crowd.CheckLogins(all, still, lost);
    const double cpu = cpu0 >= 0 && cpu1 >= 0 ? cpu1 - cpu0 : -1;
    const double net = cpu >= 0 && baseShare >= 0 ? cpu - baseShare * wall : -1;
    printf(
        "STORM ok=%d login_s=%.3f join_s=%.3f commands_s=%.3f storm_s=%.3f lines=%" PRIu64 " bytes=%" PRIu64
        " line_bytes=%.1f lines_per_socket=%.1f sockets=%d cpu_s=%.3f base_share=%.4f net_cpu_s=%.3f "
        "cpu_us_per_line=%.4f net_cpu_us_per_line=%.4f burst_dones=%d still_logged_in=%d silently_logged_out=%d %s\n",
        ok ? 1 : 0, loginS, joinS, commandsS, end - t0, lines, bytes, lines ? double(bytes) / double(lines) : 0,
        double(lines) / double(sockets), sockets, cpu, baseShare, net, lines ? cpu * 1e6 / double(lines) : -1,
        lines ? net * 1e6 / double(lines) : -1, dones, still, lost, stormPings.c_str());
    // The storm's users leave; memory is judged after the server's next keep-alive tick.
    // Closing thousands of sockets takes this program a while: the pinging client is read
    // in between, or its round trip would measure the closing.
    const double leavingAt = Now();
    const uint64_t leavingNs = NowNs();
    const size_t pingLeaving = crowd.Pings().size();
    for (size_t i = 0; i < all.size(); ++i) {
        crowd.CloseUser(crowd.At(all[i]));
        if (i % 64 == 63) crowd.PollUrgent(), crowd.PingTick();
    }
    crowd.CloseUser(crowd.At(burster));
    const double leftAt = Now();
    const size_t ping1 = crowd.Pings().size();
    while (Now() - leftAt < o.settle && Now() < crowd.Deadline()) crowd.Pump(10), crowd.KeepAlive();
    const long rssAfter = ProcessRssKiB(pid);
    // PING_LOG=file: every round trip of the storm and after it, for finding when the slow ones came.
    if (const char* log = getenv("PING_LOG")) {
        std::ofstream w(log);
        w << "login_end " << loginS << " commands_end " << commandsS << " end " << end - t0 << " left " << leftAt - t0
          << '\n';
        for (size_t k = ping0; k < crowd.Pings().size(); ++k)
            w << crowd.Pings()[k].sentAt - t0 << ' ' << crowd.Pings()[k].ms << '\n';
    }
    // The whole storm as the voice measures it: from its first command to the end of the
    // settle after the departure, with the storm and the departure as windows of their own.
    std::string whole;
    if (o.wholeWindow) {
        const uint64_t settled = NowNs();
        std::ofstream(o.windowFile, std::ios::trunc).close();
        AppendWindow(o.windowFile, "", start, settled);
        AppendWindow(o.windowFile, "storm", start, stormEnd);
        AppendWindow(o.windowFile, "departure", leavingNs, settled);
        char departure[64];
        snprintf(departure, sizeof departure, " departure_s=%.3f ", leftAt - leavingAt);
        whole = departure + PingSummary("departure_", crowd.PingsSince(pingLeaving), true) + " " +
                PingSummary("whole_", crowd.PingsSince(ping0), true);
    }
    printf("RESULT ok=%d storm_s=%.3f lines=%" PRIu64
           " line_bytes=%.1f lines_per_socket=%.1f sockets=%d "
           "cpu_us_per_line=%.4f net_cpu_us_per_line=%.4f rss_before_kib=%ld rss_peak_kib=%ld rss_after_kib=%ld "
           "settle_s=%.0f still_logged_in=%d failures=%d %s %s %s%s\n",
           ok ? 1 : 0, end - t0, lines, lines ? double(bytes) / double(lines) : 0, double(lines) / double(sockets),
           sockets, lines ? cpu * 1e6 / double(lines) : -1, lines ? net * 1e6 / double(lines) : -1, rssBefore, rssPeak,
           rssAfter, Now() - leftAt, still, crowd.Failures(), stormPings.c_str(), quietPings.c_str(),
           pingsSince(ping1, "after_").c_str(), whole.c_str());
    return ok && still == o.users ? 0 : 1;
}
