// One client floods the server with commands (--flood per second, --command LINE) for
// --duration s while another pings every --ping-interval s and is read before every other
// socket; then --settle s of pings follow while the flood's backlog drains. The voice is
// measured by a separate audio run over the window this writes.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>

#include "BenchNet.h"
#include "Modes.h"

namespace {

// Commands the flooding client holds unsent at most: a server that reads slowly makes it
// offer fewer, not grow without bound.
const size_t kBacklog = size_t(1) << 20;

bool IsReply(const std::string& word) {
    return word == "pong" || word == "youare" || word == "done" || word == "ok" || word == "pwc";
}

}  // namespace

int RunFlood(Crowd& crowd, const Options& o) {
    if (!crowd.Setup(0, 2, true)) return 2;
    const int pinger = 0, flooder = 1;
    crowd.SetPinger(pinger);
    User& f = crowd.At(flooder);
    f.joins = false;
    f.watch = true;
    f.tolerant = true;  // a refused command is counted; the flood goes on
    uint64_t replies = 0;
    crowd.SetLineHook([&](User& u, const std::string& word, const std::string&) {
        if (u.index == flooder && IsReply(word)) ++replies;
    });
    double t = 0;
    if (!crowd.WaitFor(State::LoggedIn, {pinger, flooder}, o.setupTimeout, t)) {
        printf("RESULT ok=0 note=set-up-failed failures=%d\n", crowd.Failures());
        return 1;
    }
    const bool joins = o.command == "join";
    auto command = [&](uint64_t k) {
        if (joins)
            return "join channel=\"/flood" + std::to_string(k % uint64_t(std::max(1, o.burstChannels))) + "/\"\r\n";
        return o.command + "\r\n";
    };
    uint64_t quietFrom = 0, quietTo = 0;
    const std::string quietPings = QuietPings(crowd, 2, quietFrom, quietTo);

    const size_t ping0 = crowd.Pings().size();
    const uint64_t start = NowNs(), lines0 = f.lines;
    const double t0 = Now();
    uint64_t offered = 0, queued = 0, heldBack = 0, queuedBytes = 0;
    while (Now() - t0 < o.duration && Now() < crowd.Deadline() && f.state != State::Failed) {
        const uint64_t due = uint64_t(o.flood * (Now() - t0));
        std::string batch;
        for (; offered < due; ++offered) {
            if (f.out.size() + batch.size() >= kBacklog) {
                ++heldBack;
                continue;
            }
            batch += command(queued++);
        }
        queuedBytes += batch.size();
        if (!batch.empty()) crowd.SendTcp(f, batch);
        crowd.Pump(1);
        crowd.KeepAlive();
    }
    const double floodS = Now() - t0;
    const uint64_t floodEnd = NowNs(), floodLines = f.lines - lines0, floodReplies = replies;
    const size_t backlog = f.out.size();
    const std::string floodPings = PingSummary("", crowd.PingsSince(ping0), true);
    // The flood stops; its backlog drains while the pinging goes on.
    const size_t ping1 = crowd.Pings().size();
    const double stopAt = Now();
    double drainedAt = 0;
    while (Now() - stopAt < o.settle && Now() < crowd.Deadline()) {
        crowd.Pump(5), crowd.KeepAlive();
        if (drainedAt == 0 && f.out.empty() && replies + uint64_t(f.errors) >= queued) drainedAt = Now();
    }
    if (!o.windowFile.empty()) {
        std::ofstream(o.windowFile, std::ios::trunc).close();
        AppendWindow(o.windowFile, "", start, floodEnd);
        AppendWindow(o.windowFile, "settle", floodEnd, NowNs());
        AppendWindow(o.windowFile, "before", quietFrom, quietTo);
    }
    const double avgBytes = queued ? double(queuedBytes) / double(queued) : 1;
    const bool ok = f.state != State::Failed;
    printf("RESULT ok=%d command=%s rate=%.0f seconds=%.2f offered=%" PRIu64 " held_back=%" PRIu64
           " written=%.0f written_per_s=%.0f replies=%" PRIu64 " replies_per_s=%.0f reply_lines=%" PRIu64
           " errors=%d backlog_bytes=%zu drain_s=%.3f %s %s %s\n",
           ok ? 1 : 0, joins ? "join" : o.command.substr(0, o.command.find(' ')).c_str(), o.flood, floodS, offered,
           heldBack, double(queued) - double(backlog) / avgBytes,
           (double(queued) - double(backlog) / avgBytes) / floodS, floodReplies, double(floodReplies) / floodS,
           floodLines, f.errors, backlog, drainedAt > 0 ? drainedAt - stopAt : -1, floodPings.c_str(),
           quietPings.c_str(), PingSummary("after_", crowd.PingsSince(ping1), true).c_str());
    return ok ? 0 : 1;
}
