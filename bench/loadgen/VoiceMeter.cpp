#include "VoiceMeter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "BenchNet.h"
#include "VoiceWire.h"

VoiceMeter::VoiceMeter(bool keepSamples) : keepSamples_(keepSamples) {
    timespec rt;
    clock_gettime(CLOCK_REALTIME, &rt);
    realtimeOffset_ = uint64_t(rt.tv_sec) * 1000000000ull + uint64_t(rt.tv_nsec) - NowNs();
    // Fresh memory is slow to touch the first time in a virtual machine; do it now rather
    // than while latencies are being recorded.
    latencies_.assign(size_t(1) << 22, 0);
    latencies_.clear();
}

uint64_t VoiceMeter::FromRealtime(const timespec& at) const {
    return uint64_t(at.tv_sec) * 1000000000ull + uint64_t(at.tv_nsec) - realtimeOffset_;
}

void VoiceMeter::Begin(uint16_t tag) {
    tag_ = tag;
    copies_ = 0;
    latencies_.clear();
    samples_.clear();
}

void VoiceMeter::TouchLastCopy() { lastCopy_ = Now(); }

void VoiceMeter::OnCopy(const uint8_t* p, unsigned length, uint64_t arrivedNs, uint32_t listener) {
    if (length < unsigned(kMinSize) || p[0] != kAudioIn) return;
    const uint16_t tag = uint16_t(Get16(p + kPhaseOffset));
    if (tag != 0 && tag == tag_) {
        ++copies_;
        uint64_t sentAt;
        memcpy(&sentAt, p + kStampOffset, sizeof sentAt);
        const uint64_t d = arrivedNs > sentAt ? arrivedNs - sentAt : 0;
        latencies_.push_back(uint32_t(std::min<uint64_t>(d, UINT32_MAX)));
        if (keepSamples_) {
            uint32_t seq;
            memcpy(&seq, p + kSeqOffset, sizeof seq);
            samples_.push_back({sentAt, arrivedNs, seq, listener});
        }
    }
    lastCopy_ = Now();
}

LatencySummary VoiceMeter::Summary() {
    LatencySummary s;
    if (latencies_.empty()) return s;
    auto pct = [&](double q) {
        size_t k = std::min(latencies_.size() - 1, size_t(q * double(latencies_.size())));
        std::nth_element(latencies_.begin(), latencies_.begin() + long(k), latencies_.end());
        return latencies_[k] / 1000.0;
    };
    s.p50us = pct(0.50);
    s.p99us = pct(0.99);
    s.p999us = pct(0.999);
    s.maxus = *std::max_element(latencies_.begin(), latencies_.end()) / 1000.0;
    return s;
}

void VoiceMeter::Dump(const std::string& path) const {
    if (path.empty()) return;
    if (FILE* f = fopen(path.c_str(), "w")) {
        fprintf(f, "sent_ns received_ns latency_us seq listener\n");
        for (const Sample& s : samples_)
            fprintf(f, "%" PRIu64 " %" PRIu64 " %.1f %u %u\n", s.sentAt, s.receivedAt,
                    (s.receivedAt - s.sentAt) / 1000.0, s.seq, s.listener);
        fclose(f);
    }
}

void VoiceMeter::PrintWindows(const std::string& path) const {
    if (path.empty()) return;
    std::ifstream f(path);
    std::string line;
    bool any = false;
    while (std::getline(f, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (w.size() == 2 || w.size() == 3) {
            const size_t at = w.size() - 2;
            PrintWindow(w.size() == 3 ? w[0] : "", strtoull(w[at].c_str(), nullptr, 10),
                        strtoull(w[at + 1].c_str(), nullptr, 10));
            any = true;
        }
    }
    if (!any) printf("WINDOW none\n");
}

// Latency of the copies sent within the window (CLOCK_MONOTONIC ns, which every process on
// this machine shares): the voice during another run's storm.
void VoiceMeter::PrintWindow(const std::string& name, uint64_t from, uint64_t to) const {
    const std::string tag = name.empty() ? "WINDOW" : "WINDOW name=" + name;
    if (to <= from) {
        printf("%s\n", name.empty() ? "WINDOW none" : (tag + " none").c_str());
        return;
    }
    std::vector<uint32_t> lat;
    for (const Sample& s : samples_)
        if (s.sentAt >= from && s.sentAt <= to)
            lat.push_back(
                uint32_t(std::min<uint64_t>(s.receivedAt > s.sentAt ? s.receivedAt - s.sentAt : 0, UINT32_MAX)));
    if (lat.empty()) {
        printf("%s copies=0\n", tag.c_str());
        return;
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double q) { return lat[std::min(lat.size() - 1, size_t(q * double(lat.size())))] / 1000.0; };
    printf("%s copies=%zu seconds=%.2f p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f\n", tag.c_str(), lat.size(),
           double(to - from) / 1e9, pct(0.5), pct(0.99), pct(0.999), lat.back() / 1000.0);
}
