// Scheduling of the voice loop's thread, whose work is short and must not wait behind a
// busy thread: it relays a packet in microseconds while the main loop may be in the middle
// of a broadcast or a file transfer.
//
// The thread takes the lowest real-time priority (SCHED_FIFO, reset for any child process)
// and gives it up only while it moves a flood of datagrams itself (PrecedenceRule), so
// that the control plane is never starved; work the kernel merely charges to it does not
// count. Where the process may use several CPUs, the voice loop also gets one of its own
// and the main loop keeps off it (CpuPlacement). Should the thread ever run on real-time
// priority for the system's limit without sleeping (RLIMIT_RTTIME's soft limit, which the
// service unit sets), the limit's signal takes its priority away for good.
//
// Threads: Prefer, CountDatagrams, AfterWork and Active act on the calling thread only;
// Place* pin the calling thread; Describe may be called from any thread.
#ifndef QUORVANE_NETWORK_THREADPRECEDENCE_H
#define QUORVANE_NETWORK_THREADPRECEDENCE_H

#include <cstdint>
#include <string>

class CpuPlacement;

class ThreadPrecedence {
public:
    enum { PRIORITY = 1 };

    // Asks for precedence; false when the system does not permit it (no privilege, or
    // a service manager that forbids real-time scheduling), and then nothing changes.
    static bool Prefer();
    // Datagrams the thread received or sent; cheap.
    static void CountDatagrams(unsigned datagrams);
    // Called after each batch of work: once a window has passed, gives up or retakes
    // precedence by the datagrams moved in it. Cheap when no window has passed; nothing
    // on a thread that did not call Prefer. The second form takes the time (tests).
    static void AfterWork();
    static void AfterWork(int64_t nowNs);
    // Whether the calling thread has precedence now.
    static bool Active();

    // Pin the calling thread as the voice loop's / the main loop's; false when the
    // system refused. Recorded for Describe.
    static bool PlaceVoiceLoop(const CpuPlacement& placement);
    static bool PlaceMainLoop(const CpuPlacement& placement);

    // One line for the log at start: the voice thread's precedence and where both loops
    // run, e.g. "voice thread: real-time priority 1 (SCHED_FIFO), CPU 1 of its own; main
    // loop: CPU 0".
    static std::string Describe();
};

#endif
