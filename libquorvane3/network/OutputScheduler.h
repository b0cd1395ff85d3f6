// The line of connections waiting for an output pass or for their listener's turn, one
// line per reactor, served in order on the loop's thread by one handler: one wake (an
// eventfd) serves many connections, for at most SLICE_MICROSECONDS, so a broadcast to
// thousands of users costs no reactor notification per connection. A turn goes to the
// end of the line, behind the passes its last commands caused, so a client's burst of
// commands cannot outrun what the others are sent.
//
// Threads: Ensure runs where no lock of a connection is held; Queue and Forget are
// thread safe; the passes run on the loop's thread. The scheduler lives until its reactor
// closes (it is registered with it) and takes itself out of the registry then.
#ifndef QUORVANE_NETWORK_OUTPUTSCHEDULER_H
#define QUORVANE_NETWORK_OUTPUTSCHEDULER_H

#include <ace/Event_Handler.h>

class StreamHandler;

class OutputScheduler : public ACE_Event_Handler {
public:
    // A wake serves connections for at most this long; the rest wait for the loop's next round.
    enum { SLICE_MICROSECONDS = 2000 };

    // Gives the reactor a scheduler if it has none. False when it cannot: connections of
    // the reactor then ask for their passes with notifications of their own.
    static bool Ensure(ACE_Reactor* reactor);
    // Puts the connection at the end of its reactor's line; false when the reactor has no
    // scheduler. A queued connection is not queued twice.
    static bool Queue(ACE_Reactor* reactor, StreamHandler* handler);
    // Puts the connection at the end of the line for its listener's next turn (see
    // StreamHandler::RequestTurn); false as above.
    static bool QueueTurn(ACE_Reactor* reactor, StreamHandler* handler);
    // Takes the connection out of the line, on its close.
    static void Forget(ACE_Reactor* reactor, StreamHandler* handler);

    ACE_HANDLE get_handle() const override { return wake_; }
    int handle_input(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;
    int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;

private:
    explicit OutputScheduler(ACE_Reactor* reactor, ACE_HANDLE wake);
    ~OutputScheduler() override;

    // Under the registry's lock.
    void Append(StreamHandler* handler);
    void Unlink(StreamHandler* handler);
    StreamHandler* PopFront(bool& output, bool& turn);
    static bool Line(ACE_Reactor* reactor, StreamHandler* handler, bool turn);

    ACE_HANDLE wake_;  // an eventfd: readable while the line is not empty
    bool awake_;       // wake_ was signalled and not yet drained
    StreamHandler* first_;
    StreamHandler* last_;
};

#endif
