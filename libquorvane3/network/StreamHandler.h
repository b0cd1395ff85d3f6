// One accepted TCP connection: reads whatever arrives and hands it to its listener,
// queues outgoing bytes and writes them without ever blocking the event loop.
//
// Threads: open, the callbacks, everything that queues output and the real close run on
// the reactor's loop thread (checked in debug builds), so a queued line takes no lock;
// another thread hands its line over with ReactorThread::RunOnLoop. A close requested from
// another thread, or from inside one of this handler's own callbacks (a command that
// disconnects its own sender), is deferred to the loop thread so that nothing runs on
// freed memory.
#ifndef QUORVANE_NETWORK_STREAMHANDLER_H
#define QUORVANE_NETWORK_STREAMHANDLER_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include <ace/Reactor.h>
#include <ace/SOCK_Stream.h>
#include <ace/Svc_Handler.h>
#include <ace/Synch_Traits.h>
#include <ace/Thread_Mutex.h>

#include "network/OutputQueue.h"
#include "network/OutputSource.h"
#include "network/SocketTransport.h"
#include "network/StreamListener.h"

class OutputScheduler;
class SharedLine;

class StreamHandler : public ACE_Svc_Handler<ACE_SOCK_STREAM, ACE_MT_SYNCH> {
public:
    typedef ACE_Svc_Handler<ACE_SOCK_STREAM, ACE_MT_SYNCH> Base;

    enum {
        RECEIVE_BUFFER_SIZE = 65536,
        LOW_WATER_MARK = 262144,
        // Above it a connection's input waits and lines that are not replies are refused.
        HIGH_WATER_MARK = 1048576,
        // Replies to the client's own commands may go past the high water mark (what a
        // read's worth of commands answers), never past this. Long replies are sources.
        REPLY_LIMIT = 64 * 1048576,
        WRITE_BATCH = 1024,  // queued blocks written with one system call (IOV_MAX)
        // Bytes given to one write. A loopback write runs the receiver's side too, and the
        // kernel may not preempt it: a few MiB at once would hold the core for a
        // millisecond, and a real-time thread of the same core behind it. 64 KiB keep one
        // call well under 100 us.
        WRITE_BYTES = 65536,
        // What one output pass writes at most (lines and what sources make); the rest comes
        // on a later pass, after the other connections had theirs.
        PASS_BYTES = 262144,
    };
    // What Send answers when the bytes were not queued.
    enum { SEND_CLOSED = -1, SEND_FULL = -2 };
    // What SendFile answers when it wrote nothing.
    enum { FILE_WAIT = -1, FILE_FAILED = -2 };

    explicit StreamHandler(ACE_Reactor* reactor = ACE_Reactor::instance());
    ~StreamHandler() override;

    // Registers for input and makes the socket non-blocking.
    int open(void* arg = 0) override;

    // Thread safe. Replaces the listener (may be null); a callback already running keeps
    // the one it started with, so the old listener must outlive it.
    virtual void SetListener(StreamListener* listener);

    // Loop thread. Copies the bytes into the output queue; an output pass writes them.
    // SEND_FULL when the queue is at its high water mark (at REPLY_LIMIT for a reply),
    // SEND_CLOSED when the connection is closing (which any thread may learn here). The
    // caller keeps the handler alive: it is deleted right after OnStreamClosed returns.
    int Send(const char* data, size_t length, bool reply = false);
    // Loop thread. As Send, but queues a reference to the line's bytes instead of a copy:
    // one line sent to many connections is stored once (see SharedLine).
    int SendShared(const SharedLine& line, bool reply = false);
    // Loop thread. Queues the source behind what is queued: its blocks are made as the
    // writer reaches it, a piece at a time, and what is queued later waits behind them.
    // SEND_CLOSED (and the source destroyed) when the connection is closing.
    int SendSource(std::unique_ptr<OutputSource> source);
    // Whether lines that are not replies would be refused now.
    bool IsOutputFull() const;
    // Any thread. Bytes queued and not yet written (a partly written block counts whole).
    size_t QueuedBytes() const { return queue_.Bytes(); }
    // Any thread. Bytes queued on every connection of the process, not yet written: zero
    // once a storm of broadcasts has drained.
    static long long QueuedBytesOfAll() { return OutputQueue::BytesOfAll(); }
    // Any thread. The memory that waiting sources hold (their Footprint), on this
    // connection and on every connection of the process.
    size_t SourceBytes() const { return queue_.SourceBytes(); }
    static long long SourceBytesOfAll() { return OutputQueue::SourceBytesOfAll(); }
    // Any thread. The memory the queued lines hold (see OutputQueue::Memory), on this
    // connection and on every connection of the process.
    size_t QueuedMemory() const { return queue_.Memory(); }
    static long long QueuedMemoryOfAll() { return OutputQueue::MemoryOfAll(); }
    // Any thread. Lines (and other blocks) queued, and bytes written, on every connection
    // of the process since it started.
    static uint64_t LinesQueuedOfAll() { return OutputQueue::LinesOfAll(); }
    static uint64_t BytesWrittenOfAll() { return OutputQueue::BytesWrittenOfAll(); }
    // Loop thread. Replaces the transport the queue is written to and input read from
    // (the socket by default); the handler keeps it. Input then never bypasses it
    // (StreamListener::TakesStreamInput is not asked), and SendFile reads the file and
    // writes it through it.
    void UseTransport(std::unique_ptr<StreamTransport> transport);
    // Any thread. Closes on a later turn of the loop, even when called on the loop thread
    // outside any of this handler's callbacks: for a caller that is walking other
    // connections.
    void CloseLater();
    // Loop thread: writes what is queued as far as the socket takes it now (an error that
    // says why), then closes as close() does.
    void CloseAfterWrite();

    // Loop thread, with nothing queued (bytes queued earlier must go first): writes up to
    // count bytes (at most FILE_SLICE_BYTES) of the file at offset straight to the socket
    // (sendfile, no copy through the program) and advances offset. Answers the bytes
    // written; 0 when the file ended before offset + count; FILE_WAIT when the socket is
    // full or bytes are queued (OnStreamReady follows once it has room, or they are
    // written); FILE_FAILED when the connection failed or closes.
    enum { FILE_SLICE_BYTES = 262144 };
    ssize_t SendFile(int fd, int64_t& offset, size_t count);
    // Loop thread. The listener's held input may go on (StreamListener::IsInputHeld): a
    // turn for what it holds, or reading again.
    void ContinueInput() { UpdateInput(); }
    // Loop thread. An output pass on a later turn of the loop, after the others in line:
    // with nothing queued it calls OnStreamReady, so a listener that writes in bounded
    // pieces (a download) continues there.
    void ContinueLater();

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
    friend class OutputScheduler;  // keeps the links below

    // Results of a non-blocking read or write that only mean "not now".
    static bool IsTransient(int error);
    bool OnReactorThread() const;
    // Any thread: a close was asked for or done.
    bool IsClosing() const { return closing_.load(std::memory_order_acquire); }
    // Debug builds abort when a loop-only method runs off the loop's thread while it runs.
    void AssertLoopThread() const;

    // Queues the block (taking it over) and asks for an output pass when needed.
    int SendBlock(ACE_Message_Block* block, bool reply);
    // What an append to the queue answered (see OutputQueue::Append) as Send answers: a
    // queue that was empty asks for its pass, and closes when none can be had (nothing
    // would ever write it).
    int Queued(int appended);
    // Reads from the socket only while the output is below its marks and the listener
    // has nothing left to handle; schedules the listener's next turn. Loop thread.
    void UpdateInput();
    void ResumeInput();
    // Ask for the listener's next turn / an output pass; false when neither the reactor's
    // output line nor a notification can be had.
    bool RequestTurn();
    bool RequestOutput();
    // Upcall bookkeeping: Enter answers false when a close is pending; Leave answers -1
    // instead of result when the last callback on the stack leaves a close pending.
    bool EnterUpcall();
    int LeaveUpcall(int result);
    int ReadOnce();
    // The listener closes the connection: what it queued last (an error that says why)
    // goes out first, as far as the socket takes it now.
    void FlushBeforeClose();
    // The act of the timer that gives a throttled listener its turn (the output retry's
    // is null).
    static const char TURN_TIMER;
    // Input the listener moves itself; -1 closes, 1 when it wants an ordinary read.
    int MoveInput(StreamListener& listener);
    // After the listener handled input: the first piece of what it answered goes out now,
    // input is resumed or held.
    int AfterInput();
    // The peer closed its end: the close waits for its turn.
    int PeerClosed();
    // Registers for the socket's writability (or a retry timer); false when neither can be had.
    bool WaitForRoom();
    // Writes the queue's head, one gathering transport write of at most WRITE_BATCH blocks
    // and WRITE_BYTES bytes at a time, until it is empty, the transport is full, or limit
    // bytes went (then the rest waits for the next pass). -1 when the connection failed.
    int WriteQueued(size_t limit);
    // SendFile through a transport other than the socket: at most FILE_THROUGH_BYTES a
    // call, read into the stack.
    enum { FILE_THROUGH_BYTES = 65536 };
    ssize_t SendFileThrough(int fd, int64_t& offset, size_t count);
    // The one real close; deletes a heap handler, so nothing may touch this afterwards.
    void CloseNow();

    // Called without any lock of ours, so that no lock of the handler ever sits between
    // two of the listener's; the callbacks all run on the loop thread.
    std::atomic<StreamListener*> listener_;
    bool reading_;               // registered for input (loop thread only)
    bool outputPaused_;          // input held back until the output drains (loop thread only)
    bool resumeScheduled_;       // a turn for the listener's pending input is due (loop thread only)
    std::atomic<bool> closing_;  // a close was asked for (any thread) or done
    int upcallDepth_;            // > 0 while one of our own callbacks runs (loop thread only)
    // The real close has run: written on the loop thread under closeLock_, which another
    // thread asking for a close takes to post its notification, so that the close's purge
    // of notifications cannot miss it. No line ever takes it.
    bool closed_;
    ACE_Thread_Mutex closeLock_;
    OutputQueue queue_;  // loop thread only
    SocketTransport socket_;
    std::unique_ptr<StreamTransport> transport_;  // another transport in the socket's place
    StreamTransport* writer_;                     // socket_ or transport_
    bool waitingForRoom_;                         // registered for the socket's writability (loop thread only)
    bool peerClosed_;                             // end of stream read; the close waits for its turn (loop thread only)
    // This connection's places in its reactor's OutputScheduler lines (loop thread only).
    std::shared_ptr<OutputScheduler> scheduler_;
    StreamHandler* outputPrev_ = 0;
    StreamHandler* outputNext_ = 0;
    StreamHandler* turnPrev_ = 0;
    StreamHandler* turnNext_ = 0;
    bool outputListed_ = false;
    bool turnListed_ = false;
    uint64_t outputSequence_ = 0;  // when it was listed for its pass
    uint64_t turnAfter_ = 0;       // its turn waits for the passes listed up to here
};

#endif
