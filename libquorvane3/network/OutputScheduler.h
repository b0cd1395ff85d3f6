// The lines of connections waiting for their listener's turn (interactive input: the
// commands read and not yet run) and for an output pass (bulk output), one scheduler per
// reactor, served on the loop's thread by one handler: one wake (an eventfd) serves many
// connections, for at most SLICE_MICROSECONDS, so a broadcast to thousands of users costs
// no reactor notification per connection.
//
// Each wake serves the turns before the passes, so a short command is answered even while
// thousands of connections wait for their output, and the lines that the turns of one
// wake broadcast reach each receiver in one pass (one write). A turn still waits for the
// passes listed before it was asked for: a client's burst of commands cannot outrun what
// its earlier commands sent the others.
//
// Threads: the loop's thread only (checked in debug builds); Ensure takes the registry's
// lock. Handlers hold the scheduler by shared_ptr: when its reactor closes it, it empties
// its lines and refuses more, and goes once the last handler lets it go.
#ifndef QUORVANE_NETWORK_OUTPUTSCHEDULER_H
#define QUORVANE_NETWORK_OUTPUTSCHEDULER_H

#include <cstdint>
#include <memory>

#include <ace/Event_Handler.h>

class StreamHandler;

class OutputScheduler : public ACE_Event_Handler, public std::enable_shared_from_this<OutputScheduler> {
public:
    // A wake serves connections for at most this long; the rest wait for the loop's next
    // round, after the other events.
    enum { SLICE_MICROSECONDS = 2000 };

    // The reactor's scheduler, made when it has none; null when none can be had:
    // connections of the reactor then ask for their passes with notifications of their own.
    static std::shared_ptr<OutputScheduler> Ensure(ACE_Reactor* reactor);
    // Puts the connection at the end of the pass line unless it is listed already; false
    // when the scheduler has closed or cannot wake.
    bool Queue(StreamHandler* handler);
    // Puts the connection at the end of the turn line (see StreamHandler::RequestTurn).
    bool QueueTurn(StreamHandler* handler);
    // Takes the connection out of both lines, on its close.
    void Forget(StreamHandler* handler);

    ACE_HANDLE get_handle() const override { return wake_; }
    int handle_input(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;
    int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;

    explicit OutputScheduler(ACE_Reactor* reactor, ACE_HANDLE wake);
    ~OutputScheduler() override;

private:
    bool Wake();
    // The turn at the front may run: the passes listed before it was asked for are done.
    bool TurnReady() const;
    StreamHandler* PopPass();
    StreamHandler* PopTurn();
    void UnlinkPass(StreamHandler* handler);
    void UnlinkTurn(StreamHandler* handler);

    ACE_HANDLE wake_;     // an eventfd: readable while a line is not empty
    bool awake_ = false;  // wake_ was signalled and not yet drained
    bool closed_ = false;
    uint64_t listed_ = 0;  // passes listed so far; each pass has its number
    StreamHandler* firstPass_ = 0;
    StreamHandler* lastPass_ = 0;
    StreamHandler* firstTurn_ = 0;
    StreamHandler* lastTurn_ = 0;
};

#endif
