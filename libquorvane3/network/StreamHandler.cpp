#include "network/StreamHandler.h"

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/Message_Block.h>

#include "network/OutputScheduler.h"
#include "network/ReactorThread.h"
#include "network/SharedLine.h"

// The close relies on purging a handler's pending notifications: it needs ACE's
// notification queue (without it notifications sit in a pipe that cannot be purged and
// that blocks when full).
#ifndef ACE_HAS_REACTOR_NOTIFICATION_QUEUE
#error "StreamHandler needs ACE built with ACE_HAS_REACTOR_NOTIFICATION_QUEUE"
#endif

namespace {

// How long unsent output waits before the next write attempt when the reactor cannot
// report the socket's room.
const ACE_Time_Value RETRY_DELAY(0, 100000);

}  // namespace

// Results of a non-blocking read or write that only mean "not now".
bool StreamHandler::IsTransient(int error) {
    return error == EWOULDBLOCK || error == EAGAIN || error == ETIME || error == ETIMEDOUT;
}

StreamHandler::StreamHandler(ACE_Reactor* reactor)
    : Base(0, 0, reactor),
      listener_(0),
      reading_(true),
      outputPaused_(false),
      resumeScheduled_(false),
      closing_(false),
      upcallDepth_(0),
      closed_(false),
      queue_(reactor),
      socket_(peer()),
      writer_(&socket_),
      waitingForRoom_(false),
      peerClosed_(false) {}

StreamHandler::~StreamHandler() {
    // Deleted with output still queued (without the real close, or by it): the queue
    // releases it. Deleted without the real close: leave no notification pointing at
    // freed memory. The base's destructor cancels the timers and removes the handler.
    if (!closed_ && reactor() != 0) {
        reactor()->purge_pending_notifications(this);
        if (scheduler_) scheduler_->Forget(this);
    }
}

int StreamHandler::open(void* arg) {
    const int result = Base::open(arg);
    if (result < 0 || reactor() == 0) {
        return result;
    }
    peer().enable(ACE_NONBLOCK);
    // Each output pass writes everything queued in one call, so Nagle's algorithm has
    // nothing left to gather. Left on, it held a pass's segment until the client's delayed
    // acknowledgement (up to 40 ms), and then sent it from the timer that fired that
    // acknowledgement: on loopback thousands of such chains a second ran on the server's
    // core where nothing can preempt them, and delayed the voice thread.
    int on = 1;
    peer().set_option(IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    scheduler_ = OutputScheduler::Ensure(reactor());  // without one, passes come by notification
    if (!EnterUpcall()) {
        return -1;
    }
    if (StreamListener* listener = listener_.load()) {
        listener->OnStreamOpened();
    }
    // A close asked for inside OnStreamOpened makes the opener close us at once.
    return LeaveUpcall(result);
}

void StreamHandler::SetListener(StreamListener* listener) { listener_.store(listener); }

void StreamHandler::UseTransport(std::unique_ptr<StreamTransport> transport) {
    AssertLoopThread();
    transport_ = std::move(transport);
    writer_ = transport_ ? transport_.get() : static_cast<StreamTransport*>(&socket_);
}

void StreamHandler::AssertLoopThread() const {
    if (reactor() != 0) ReactorThread::AssertLoopThread(reactor());
}

int StreamHandler::Send(const char* data, size_t length, bool reply) {
    if (IsClosing() || (length != 0 && data == 0)) {
        return SEND_CLOSED;
    }
    AssertLoopThread();
    if (length == 0) {
        return 0;
    }
    ACE_Message_Block* block = 0;
    ACE_NEW_NORETURN(block, ACE_Message_Block(length));
    if (block == 0 || block->size() < length) {
        if (block != 0) {
            block->release();
        }
        return SEND_FULL;
    }
    block->copy(data, length);
    return SendBlock(block, reply);
}

int StreamHandler::SendShared(const SharedLine& line, bool reply) {
    if (IsClosing()) return SEND_CLOSED;
    AssertLoopThread();
    if (line.Block().length() == 0) return 0;
    const size_t limit = reply ? static_cast<size_t>(REPLY_LIMIT) : static_cast<size_t>(HIGH_WATER_MARK);
    if (queue_.Bytes() >= limit) return SEND_FULL;
    return Queued(queue_.AppendShared(line));
}

bool StreamHandler::IsOutputFull() const { return QueuedBytes() >= HIGH_WATER_MARK; }

int StreamHandler::SendBlock(ACE_Message_Block* block, bool reply) {
    const size_t limit = reply ? static_cast<size_t>(REPLY_LIMIT) : static_cast<size_t>(HIGH_WATER_MARK);
    if (queue_.Bytes() >= limit) {
        block->release();
        return SEND_FULL;
    }
    return Queued(queue_.Append(block));
}

// A queue that was not empty has its output pass (or its wait for room) pending already.
int StreamHandler::Queued(int appended) {
    if (appended < 0) return SEND_FULL;  // no memory for the entry
    if (appended == 0 || reactor() == 0 || RequestOutput()) return 0;
    // Without its output pass nothing queued would ever be written: close instead of
    // leaving the client waiting. The close releases the queue.
    handle_close();
    return SEND_CLOSED;
}

void StreamHandler::CloseLater() {
    {
        ACE_GUARD(ACE_Thread_Mutex, guard, closeLock_);
        if (closed_ || closing_.exchange(true)) {
            return;
        }
        if (reactor() != 0 && reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK) == -1) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("StreamHandler: notify close")));
        }
    }
}

void StreamHandler::CloseAfterWrite() {
    AssertLoopThread();
    if (EnterUpcall()) {
        FlushBeforeClose();
        LeaveUpcall(0);
    }
    handle_close();
}

int StreamHandler::handle_output(ACE_HANDLE) {
    AssertLoopThread();
    if (!EnterUpcall()) {
        return -1;
    }
    return LeaveUpcall(WriteQueued(PASS_BYTES));
}

// The queued blocks are written in place with gathering writes, and only taken off the
// queue once fully written: a burst of lines, such as the broadcasts of a storm of
// joins, costs one system call per connection per pass.
int StreamHandler::WriteQueued(size_t limit) {
    AssertLoopThread();
    size_t made = 0;          // bytes that sources made in this pass
    size_t written = 0;       // bytes written in this pass
    bool socketFull = false;  // else the pass ended at the queue's end or at its limit
    iovec pieces[WRITE_BATCH];
    while (written < limit) {
        const int count = queue_.Gather(pieces, WRITE_BATCH, std::min<size_t>(WRITE_BYTES, limit - written));
        if (count == 0) {
            if (made < limit && queue_.Expand(WRITE_BYTES, made)) continue;
            break;
        }
        size_t wanted = 0;
        for (int i = 0; i < count; ++i) wanted += pieces[i].iov_len;
        const ssize_t took = writer_->Write(pieces, count);
        if (took < 0 && !IsTransient(errno) && errno != EINTR) {
            return -1;  // the blocks are released with the queue
        }
        if (took > 0) {
            queue_.Consume(static_cast<size_t>(took));
            written += static_cast<size_t>(took);
        }
        if (took < static_cast<ssize_t>(wanted)) {
            socketFull = took >= 0 || errno != EINTR;
            break;
        }
    }
    if (reactor() == 0) return 0;
    if (queue_.Empty()) {
        if (waitingForRoom_ && reactor()->cancel_wakeup(this, ACE_Event_Handler::WRITE_MASK) != -1)
            waitingForRoom_ = false;
        // The drained queue's OnStreamReady, called here: a zero-delay timer would be
        // dispatched before any I/O, and thousands of them hold up every connection.
        if (outputPaused_) UpdateInput();
        if (StreamListener* const listener = listener_.load()) listener->OnStreamReady();
        return 0;
    } else if (socketFull ? !WaitForRoom() : !RequestOutput()) {
        // Without its wait for room, or its next pass, the output would never be written.
        return -1;
    }
    if (outputPaused_) UpdateInput();
    return 0;
}

// The socket is full: be called again as soon as it has room. A fixed retry delay would
// make a fast reader, such as a file download, wait out every one of them.
bool StreamHandler::WaitForRoom() {
    if (waitingForRoom_) return true;
    if (reactor()->schedule_wakeup(this, ACE_Event_Handler::WRITE_MASK) != -1) {
        waitingForRoom_ = true;
        return true;
    }
    return reactor()->schedule_timer(this, 0, RETRY_DELAY) != -1;
}

const char StreamHandler::TURN_TIMER = 0;

int StreamHandler::handle_timeout(const ACE_Time_Value&, const void* act) {
    AssertLoopThread();
    if (!EnterUpcall()) {
        return 0;  // the pending close notification finishes the job
    }
    if (act == &TURN_TIMER) {
        // The throttled listener's turn is due.
        if (resumeScheduled_) ResumeInput();
    } else if (queue_.Empty()) {
        StreamListener* const listener = listener_.load();
        if (listener != 0) {
            listener->OnStreamReady();
        }
    } else if (reactor() != 0 && !RequestOutput()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("StreamHandler: notify output")));
    }
    LeaveUpcall(0);
    return 0;
}

int StreamHandler::handle_exception(ACE_HANDLE) {
    AssertLoopThread();
    // Only our own deferred close posts this notification: answering -1 makes the
    // reactor call handle_close now that no callback of ours is on the stack.
    if (!EnterUpcall()) {
        return -1;
    }
    return LeaveUpcall(0);
}

// Reached from close(), from the reactor after a callback answered -1, and from the
// reactor's shutdown. The real close runs only on the loop thread with none of our
// callbacks on the stack; anywhere else the close is recorded and handed to the loop
// thread through one notification.
int StreamHandler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    const bool onLoopThread = OnReactorThread();
    {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, closeLock_, -1);
        if (closed_) {
            return 0;
        }
        if (onLoopThread && upcallDepth_ == 0) {
            closed_ = true;
            closing_.store(true, std::memory_order_release);
        } else {
            if (!closing_.exchange(true) && reactor() != 0 &&
                reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK) == -1) {
                // The next callback, or the reactor's shutdown, still completes the close.
                ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("StreamHandler: notify close")));
            }
            return 0;
        }
    }
    CloseNow();
    return 0;
}

void StreamHandler::CloseNow() {
    AssertLoopThread();
    queue_.Clear();
    if (reactor() != 0) {
        reactor()->cancel_timer(this, 1);
        reactor()->purge_pending_notifications(this);
        if (scheduler_) scheduler_->Forget(this);
    }
    if (StreamListener* const listener = listener_.exchange(0)) {
        listener->OnStreamClosed();
    }
    // Unregister and close the socket here too, so that a handler that is not on the heap
    // (which destroy leaves alone) is not left registered. The epoll reactor cannot
    // remove a handler whose every event was switched off (input held for a turn, no
    // output waiting): it would keep the pointer after the delete. Give it one back first.
    if (reactor() != 0 && !reading_ && !waitingForRoom_) {
        reactor()->mask_ops(this, ACE_Event_Handler::READ_MASK, ACE_Reactor::ADD_MASK);
    }
    shutdown();
    destroy();  // deletes a heap handler: must stay last
}

bool StreamHandler::OnReactorThread() const { return reactor() == 0 || ReactorThread::IsLoopThread(reactor()); }

// A place in the reactor's output line; without one, a notification of its own.
bool StreamHandler::RequestOutput() {
    return (scheduler_ && scheduler_->Queue(this)) || reactor()->notify(this, ACE_Event_Handler::WRITE_MASK) != -1;
}

// Loop thread only: upcalls run there, and so does the count.
bool StreamHandler::EnterUpcall() {
    if (IsClosing() || closed_) {
        return false;
    }
    ++upcallDepth_;
    return true;
}

int StreamHandler::LeaveUpcall(int result) {
    --upcallDepth_;
    if (upcallDepth_ == 0 && IsClosing() && !closed_) {
        return -1;
    }
    return result;
}
