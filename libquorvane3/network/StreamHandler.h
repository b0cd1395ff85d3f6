// One accepted TCP connection: reads whatever arrives and hands it to its listener,
// queues outgoing bytes and writes them without ever blocking the event loop.
//
// Threads: open, the callbacks and the real close run on the main reactor's thread.
// Send may be called from any thread. A close requested from another thread, or from
// inside one of this handler's own callbacks (a command that disconnects its own
// sender), is deferred to the reactor thread so that nothing runs on freed memory.
#ifndef QUORVANE_NETWORK_STREAMHANDLER_H
#define QUORVANE_NETWORK_STREAMHANDLER_H

#include <ace/Reactor.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/SOCK_Stream.h>
#include <ace/Svc_Handler.h>
#include <ace/Synch_Traits.h>
#include <ace/Thread_Mutex.h>

#include "network/StreamListener.h"

class StreamHandler : public ACE_Svc_Handler<ACE_SOCK_STREAM, ACE_MT_SYNCH> {
public:
    typedef ACE_Svc_Handler<ACE_SOCK_STREAM, ACE_MT_SYNCH> Base;

    enum {
        RECEIVE_BUFFER_SIZE = 65536,
        LOW_WATER_MARK = 262144,
        HIGH_WATER_MARK = 1048576,
        WRITE_BATCH = 64,  // queued blocks written with one system call
    };

    explicit StreamHandler(ACE_Reactor* reactor = ACE_Reactor::instance());
    ~StreamHandler() override;

    // Registers for input and makes the socket non-blocking.
    int open(void* arg = 0) override;

    // Thread safe. Replaces the listener (may be null).
    virtual void SetListener(StreamListener* listener);

    // Thread safe. Copies the bytes into the output queue; the reactor thread writes them.
    // Negative when the bytes were not queued (queue at its high water mark, or closed).
    // The timeout is absolute, as for ACE queues: &ACE_Time_Value::zero fails at once
    // when the queue is full, null waits for room. The caller keeps the handler alive:
    // it is deleted right after OnStreamClosed returns.
    int Send(const char* data, size_t length, const ACE_Time_Value* timeout);
    // As Send, but queues a reference to the line's data instead of a copy: one line sent
    // to many connections is stored once. The line's data block must count its references
    // under a lock (see SharedLine) when more than one thread sends it.
    int SendShared(const ACE_Message_Block& line, const ACE_Time_Value* timeout);

    int handle_input(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;
    int handle_output(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;
    int handle_timeout(const ACE_Time_Value& now, const void* act = 0) override;
    int handle_exception(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;
    // The close callback. Also reached through the inherited close(), which is how
    // the server closes a connection. On the loop thread with none of our callbacks on
    // the stack it closes at once: detaches the listener, calls its OnStreamClosed and
    // deletes the handler. Anywhere else it only marks the close and notifies the loop,
    // which finishes it once the callback on the stack has returned. Exactly once.
    int handle_close(ACE_HANDLE handle = ACE_INVALID_HANDLE,
                     ACE_Reactor_Mask mask = ACE_Event_Handler::ALL_EVENTS_MASK) override;

private:
    bool OnReactorThread() const;
    bool IsClosing();
    // Queues the block (taking it over) and asks for an output pass when needed.
    int SendBlock(ACE_Message_Block* block, const ACE_Time_Value* timeout);
    void RequestOutput();
    // Upcall bookkeeping: Enter answers false when a close is pending; Leave answers -1
    // instead of result when the last callback on the stack leaves a close pending.
    bool EnterUpcall();
    int LeaveUpcall(int result);
    int ReadOnce();
    int WriteQueued();
    void ScheduleTimer(const ACE_Time_Value& delay);
    // The one real close; deletes a heap handler, so nothing may touch this afterwards.
    void CloseNow();

    StreamListener* listener_;
    ACE_Recursive_Thread_Mutex lock_;
    char* receiveBuffer_;
    ACE_Thread_Mutex stateLock_;  // guards the three fields below; never held in a listener call
    int upcallDepth_;      // > 0 while one of our own callbacks runs
    bool closePending_;    // a deferred close has been requested
    bool closed_;          // the real close has run
    size_t headWritten_;   // bytes of the queue's head block already written (loop thread only)
    bool waitingForRoom_;  // registered for the socket's writability (loop thread only)
};

#endif
