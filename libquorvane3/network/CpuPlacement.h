// Which CPUs the two event loops run on. Where the process may use more than one CPU, the
// voice loop gets one of its own (the highest-numbered, as the lower ones usually take more
// of the system's interrupts) and the main loop the others, so a voice packet never waits
// behind a system call of the main loop on a kernel that does not preempt it. With one
// CPU both share it, and only precedence and the main loop's short calls keep voice prompt.
//
// The choice is pure (tests give it CPU sets); Place* act on the calling thread.
#ifndef QUORVANE_NETWORK_CPUPLACEMENT_H
#define QUORVANE_NETWORK_CPUPLACEMENT_H

#include <sched.h>

#include <string>

class CpuPlacement {
public:
    // Chooses within the CPUs allowed.
    explicit CpuPlacement(const cpu_set_t& allowed);
    // Chooses within the CPUs the calling thread may use; one CPU when they cannot be read.
    static CpuPlacement OfThisThread();

    // More than one CPU: the voice loop has one of its own.
    bool Separate() const { return voiceCpu_ >= 0; }
    // -1 when not separate.
    int VoiceCpu() const { return voiceCpu_; }
    const cpu_set_t& VoiceCpus() const { return voice_; }
    const cpu_set_t& MainCpus() const { return main_; }

    // Pins the calling thread to the voice loop's CPU / to the main loop's CPUs. True when
    // done, or nothing to do (one CPU).
    bool PlaceVoiceThread() const;
    bool PlaceMainThread() const;

    // "0", "0-3", "0,2,5-7".
    static std::string Text(const cpu_set_t& cpus);

private:
    int voiceCpu_;
    cpu_set_t voice_;
    cpu_set_t main_;
};

#endif
