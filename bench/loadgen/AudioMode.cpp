// Talkers send stamped audio packets at their rate; listeners count the copies and their
// latency. One measured run, or a search for the highest delivered rate within the loss limit.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "BenchNet.h"
#include "Modes.h"
#include "ProcStats.h"
#include "VoiceWire.h"

namespace {

struct PhaseResult {
    double offeredRate = 0;  // packets/s the talkers were asked for, all together
    double sentRate = 0;     // packets/s they managed
    double deliveredRate = 0;
    uint64_t sent = 0;
    uint64_t expected = 0;
    uint64_t delivered = 0;
    double lossPct = 0;
    LatencySummary latency;
    double cpuPerCopyUs = -1;
    double cpuShare = -1;
    uint64_t serverDrops = 0, clientDrops = 0;
    double stealMs = 0;
    double seconds = 0;
};

PhaseResult RunPhase(Crowd& crowd, const Options& o, double perTalkerRate, double seconds) {
    PhaseResult r;
    VoiceMeter& voice = crowd.Voice();
    std::vector<uint8_t> packet(size_t(o.size), 0);
    packet[0] = kAudioOut;
    packet[1] = 3;
    Put16(&packet[2], unsigned(o.size));
    Put16(&packet[6], 0);
    for (size_t i = 8; i < packet.size(); ++i) packet[i] = uint8_t(i);
    const bool flat = perTalkerRate <= 0;
    const double interval = flat ? 0 : 1.0 / perTalkerRate;
    const int burst = 8;

    static uint16_t nextTag = 0;
    nextTag = uint16_t(nextTag % 60000 + 1);
    const uint16_t tag = nextTag;
    uint64_t expected = 0, sent = 0;
    double cpu0 = -1, t0 = 0, steal0 = 0;
    uint64_t sd0 = 0, cd0 = 0;

    double start = Now();
    double lastStopCheck = 0;
    double measureFrom = start + o.warmup;
    double end = measureFrom + seconds;
    bool measuring = false;
    const std::vector<int>& talkers = crowd.Talkers();
    for (size_t k = 0; k < talkers.size(); ++k)  // spread the talkers over one interval
        crowd.At(talkers[k]).nextSend = start + interval * double(k) / double(talkers.size());
    for (;;) {
        double now = Now();
        if (now >= end || now > crowd.Deadline()) break;
        if (!o.stopFile.empty() && now - lastStopCheck >= 0.1) {
            lastStopCheck = now;
            if (access(o.stopFile.c_str(), F_OK) == 0) break;
        }
        if (!measuring && now >= measureFrom) {
            measuring = true;
            voice.Begin(tag);
            UdpDrops(o.udpPort, sd0, cd0);
            cpu0 = ProcessCpu(o.serverPid);
            steal0 = StealMs();
            t0 = Now();
        }
        double nextDue = end;
        for (int k : talkers) {
            User& u = crowd.At(k);
            if (u.state != State::Ready) continue;
            Put16(&packet[4], unsigned(u.id));
            Put16(&packet[kPhaseOffset], measuring ? tag : 0);
            for (int b = 0; b < burst && (flat || u.nextSend <= now); ++b) {
                uint64_t stamp = NowNs();
                memcpy(&packet[kStampOffset], &stamp, sizeof stamp);
                memcpy(&packet[kSeqOffset], &u.seq, sizeof u.seq);
                ++u.seq;
                if (send(u.udp, packet.data(), packet.size(), 0) == ssize_t(packet.size()) && measuring) {
                    ++sent;
                    expected += uint64_t(crowd.MembersOf(u.channel) - 1);
                }
                u.nextSend += interval;
            }
            nextDue = std::min(nextDue, u.nextSend);
        }
        // Sleep until the next packet is due. Latency is taken from the kernel's arrival
        // time stamps, so a slow wake-up here delays sending but does not inflate it, and
        // a core that spins all the time makes the host throttle this machine.
        double wait = nextDue - Now();
        if (o.realtime && !flat) crowd.PumpUntil(nextDue);
        else crowd.Pump(flat || wait < 0.0015 ? 0 : int(wait * 1000) - 1);
        crowd.KeepAlive();
    }
    double sendEnd = Now();
    // Let the copies in flight arrive: stop at 100 ms without audio, or after 1 s.
    voice.TouchLastCopy();
    while (Now() - voice.LastCopyAt() < 0.1 && Now() - sendEnd < 1.0) crowd.Pump(5);
    double cpu1 = ProcessCpu(o.serverPid);
    uint64_t sd1 = 0, cd1 = 0;
    UdpDrops(o.udpPort, sd1, cd1);
    voice.End();

    const uint64_t copies = voice.Copies();
    double measured = sendEnd - t0;
    r.seconds = measured;
    r.offeredRate = flat ? 0 : perTalkerRate * double(talkers.size());
    r.sent = sent;
    r.expected = expected;
    r.delivered = copies;
    r.sentRate = measured > 0 ? double(sent) / measured : 0;
    r.deliveredRate = measured > 0 ? double(copies) / measured : 0;
    r.lossPct = expected ? 100.0 * (double(expected) - double(std::min(copies, expected))) / double(expected) : 0;
    r.serverDrops = sd1 - sd0;
    r.stealMs = StealMs() - steal0;
    r.clientDrops = cd1 - cd0;
    if (cpu0 >= 0 && cpu1 >= 0) {
        r.cpuShare = measured > 0 ? (cpu1 - cpu0) / measured : -1;
        r.cpuPerCopyUs = copies ? (cpu1 - cpu0) * 1e6 / double(copies) : -1;
    }
    voice.Dump(o.dump);
    r.latency = voice.Summary();
    return r;
}

void PrintPhase(const char* tag, const PhaseResult& r) {
    printf(
        "%s offered_pps=%.0f sent_pps=%.0f delivered_cps=%.0f loss_pct=%.4f p50_us=%.1f p99_us=%.1f "
        "p999_us=%.1f max_us=%.1f cpu_share=%.4f cpu_us_per_copy=%.3f server_drops=%" PRIu64 " client_drops=%" PRIu64
        " steal_ms=%.0f seconds=%.2f\n",
        tag, r.offeredRate, r.sentRate, r.deliveredRate, r.lossPct, r.latency.p50us, r.latency.p99us, r.latency.p999us,
        r.latency.maxus, r.cpuShare, r.cpuPerCopyUs, r.serverDrops, r.clientDrops, r.stealMs, r.seconds);
    fflush(stdout);
}

// Doubles the offered rate until the loss passes the limit, then bisects: the answer is the
// highest delivered rate seen at an offered rate that kept the loss within the limit.
int RunSearch(Crowd& crowd, const Options& o) {
    double talkers = double(crowd.Talkers().size());
    double rate = (o.startRate > 0 ? o.startRate : 1000.0) / talkers;
    double good = 0, bad = 0;
    PhaseResult best;
    bool haveBest = false;
    for (int step = 0; step < o.steps && Now() < crowd.Deadline(); ++step) {
        PhaseResult r;
        bool keptUp = false, pass = false;
        // A failed rate is tried once more: a stall of the host's own making during one
        // short phase must not decide the search.
        for (int attempt = 0; attempt <= o.retries && !pass; ++attempt) {
            r = RunPhase(crowd, o, rate, o.duration);
            keptUp = r.sentRate >= 0.97 * r.offeredRate;
            pass = keptUp && r.lossPct <= o.maxLoss;
            PrintPhase(pass ? "PHASE pass" : (keptUp ? "PHASE fail" : "PHASE fail(sender-bound)"), r);
        }
        if (pass) {
            good = rate;
            if (!haveBest || r.deliveredRate > best.deliveredRate) best = r;
            haveBest = true;
        } else {
            bad = rate;
        }
        if (bad > 0 && good > 0 && (bad - good) / bad < 0.06) break;
        rate = bad == 0 ? rate * 2 : (good > 0 ? (good + bad) / 2 : rate / 2);
    }
    if (!haveBest) {
        printf("RESULT offered_pps=0 delivered_cps=0 loss_pct=100 note=no-passing-rate\n");
        return 1;
    }
    PrintPhase("RESULT", best);
    return 0;
}

}  // namespace

int RunAudio(Crowd& crowd, const Options& o) {
    if (!crowd.Setup(o.users, 0, false)) return 2;
    const std::vector<int> all = crowd.Members();
    double setup = 0;
    bool ok = crowd.WaitFor(State::Ready, all, o.setupTimeout, setup);
    printf("SETUP users=%d channels=%d talkers=%zu seconds=%.3f ok=%d\n", o.users, o.channels, crowd.Talkers().size(),
           setup, ok ? 1 : 0);
    fflush(stdout);
    if (!ok) return 1;
    // Joins make the server announce the newcomers to everyone; let that settle first.
    if (!o.relay) crowd.WaitQuiet(0.2, 10);
    if (o.search) return RunSearch(crowd, o);
    PrintPhase("RESULT", RunPhase(crowd, o, o.rate, o.duration));
    crowd.Voice().PrintWindows(o.windowFile);
    return 0;
}
