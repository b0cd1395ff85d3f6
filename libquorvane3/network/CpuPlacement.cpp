#include "network/CpuPlacement.h"

CpuPlacement::CpuPlacement(const cpu_set_t& allowed) : voiceCpu_(-1), voice_(allowed), main_(allowed) {
    if (CPU_COUNT(&allowed) < 2) return;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        voiceCpu_ = cpu;
        break;
    }
    CPU_ZERO(&voice_);
    CPU_SET(voiceCpu_, &voice_);
    CPU_CLR(voiceCpu_, &main_);
}

CpuPlacement CpuPlacement::OfThisThread() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        CPU_ZERO(&allowed);
        CPU_SET(0, &allowed);  // one CPU: nothing will be pinned
    }
    return CpuPlacement(allowed);
}

bool CpuPlacement::PlaceVoiceThread() const { return !Separate() || sched_setaffinity(0, sizeof voice_, &voice_) == 0; }

bool CpuPlacement::PlaceMainThread() const { return !Separate() || sched_setaffinity(0, sizeof main_, &main_) == 0; }

std::string CpuPlacement::Text(const cpu_set_t& cpus) {
    std::string text;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &cpus)) continue;
        int last = cpu;
        while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &cpus)) ++last;
        if (!text.empty()) text += ",";
        text += std::to_string(cpu);
        if (last > cpu) text += "-" + std::to_string(last);
        cpu = last;
    }
    return text;
}
