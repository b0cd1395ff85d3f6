// Scheduling of a thread whose work is short and must not wait behind a busy thread on
// the same core: the voice loop, which relays a packet in microseconds while the main
// loop may be in the middle of a long broadcast or a file transfer.
//
// The thread takes the lowest real-time priority while its own load is light, so the
// kernel runs it the moment a datagram arrives. Real-time priority alone would let a
// flood of datagrams starve the control plane, so the thread watches its own share of a
// core and falls back to fair scheduling while that share is high.
// Each method acts on the calling thread only.
#ifndef QUORVANE_NETWORK_THREADPRECEDENCE_H
#define QUORVANE_NETWORK_THREADPRECEDENCE_H

class ThreadPrecedence {
public:
    enum {
        WINDOW_MS = 100,       // the share of a core is measured over this long
        RELEASE_PERCENT = 50,  // at or above this share precedence is given up ...
        RETAKE_PERCENT = 25,   // ... and taken again once the share is below this
    };

    // Asks for precedence; false when the system does not permit it (no privilege, or
    // a service manager that forbids real-time scheduling), and then nothing changes.
    static bool Prefer();
    // Called after each batch of work: once a window has passed, gives up or retakes
    // precedence by the share of a core the thread used in it. Cheap when no window has
    // passed; does nothing on a thread that did not call Prefer.
    static void AfterWork();
    // Whether the calling thread has precedence now.
    static bool Active();
};

#endif
