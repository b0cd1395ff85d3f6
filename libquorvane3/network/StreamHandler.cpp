#include "network/StreamHandler.h"

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdio>
#include <cstring>

#include <cerrno>

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/Message_Block.h>

#include "network/OutputScheduler.h"
#include "network/ReactorThread.h"

// The close relies on purging a handler's pending notifications, and Send notifies while
// holding a lock: both need ACE's notification queue (without it notifications sit in a
// pipe that cannot be purged and that blocks when full).
#ifndef ACE_HAS_REACTOR_NOTIFICATION_QUEUE
#error "StreamHandler needs ACE built with ACE_HAS_REACTOR_NOTIFICATION_QUEUE"
#endif

namespace {

// How long unsent output waits before the next write attempt when the reactor cannot
// report the socket's room.
const ACE_Time_Value RETRY_DELAY(0, 100000);

std::atomic<long long> queuedBytesOfAll(0);
std::atomic<uint64_t> linesQueuedOfAll(0);
std::atomic<uint64_t> bytesWrittenOfAll(0);

// Releases blocks linked through next(), as the output queue keeps them.
void ReleaseChain(ACE_Message_Block* block) {
    while (block != 0) {
        ACE_Message_Block* const next = block->next();
        block->next(0);
        block->release();
        block = next;
    }
}

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
      upcallDepth_(0),
      closePending_(false),
      closed_(false),
      head_(0),
      tail_(0),
      queuedBytes_(0),
      sourceBytes_(0),
      headWritten_(0),
      waitingForRoom_(false),
      peerClosed_(false) {}

StreamHandler::~StreamHandler() {
    // Deleted with output still queued (without the real close, or by it).
    sources_t sources;
    ReleaseChain(TakeQueue(sources));
    // Deleted without the real close: leave no notification pointing at freed memory.
    // The base's destructor cancels the timers and removes the handler from the reactor.
    if (!closed_ && reactor() != 0) {
        reactor()->purge_pending_notifications(this);
        OutputScheduler::Forget(reactor(), this);
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
    OutputScheduler::Ensure(reactor());  // when it cannot, passes come by notification
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

int StreamHandler::Send(const char* data, size_t length, bool reply) {
    if (length == 0) {
        return IsClosing() ? SEND_CLOSED : 0;
    }
    if (data == 0) {
        return SEND_CLOSED;
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

int StreamHandler::SendShared(const ACE_Message_Block& line, bool reply) {
    if (line.length() == 0) {
        return IsClosing() ? SEND_CLOSED : 0;
    }
    ACE_Message_Block* block = line.duplicate();
    return block == 0 ? SEND_FULL : SendBlock(block, reply);
}

long long StreamHandler::QueuedBytesOfAll() { return queuedBytesOfAll.load(std::memory_order_relaxed); }
uint64_t StreamHandler::LinesQueuedOfAll() { return linesQueuedOfAll.load(std::memory_order_relaxed); }
void StreamHandler::CountLines(uint64_t lines) { linesQueuedOfAll.fetch_add(lines, std::memory_order_relaxed); }
uint64_t StreamHandler::BytesWrittenOfAll() { return bytesWrittenOfAll.load(std::memory_order_relaxed); }

// The connection's count and the process's move together. Under stateLock_.
void StreamHandler::CountQueued(long long delta) {
    queuedBytes_.store(
        static_cast<size_t>(static_cast<long long>(queuedBytes_.load(std::memory_order_relaxed)) + delta),
        std::memory_order_relaxed);
    queuedBytesOfAll += delta;
}

bool StreamHandler::IsOutputFull() const { return QueuedBytes() >= HIGH_WATER_MARK; }

ACE_Message_Block* StreamHandler::TakeQueue(sources_t& sources) {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, 0);
    ACE_Message_Block* const chain = head_;
    head_ = tail_ = 0;
    CountQueued(-static_cast<long long>(queuedBytes_.load(std::memory_order_relaxed)));
    headWritten_ = 0;
    sources.swap(sources_);
    CountSources(-static_cast<long long>(sourceBytes_.load(std::memory_order_relaxed)));
    return chain;
}

bool StreamHandler::Append(ACE_Message_Block* block) {
    const bool wasEmpty = head_ == 0;
    block->next(0);
    if (tail_ != 0) {
        tail_->next(block);
    } else {
        head_ = block;
    }
    tail_ = block;
    return wasEmpty;
}

bool StreamHandler::IsClosing() {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, true);
    return closePending_ || closed_;
}

int StreamHandler::SendBlock(ACE_Message_Block* block, bool reply) {
    const size_t limit = reply ? static_cast<size_t>(REPLY_LIMIT) : static_cast<size_t>(HIGH_WATER_MARK);
    const size_t length = block->length();  // what WriteQueued writes of it
    int result = 0;
    bool orphaned = false;  // queued, but its output pass could not be asked for
    {
        // The notification is posted under the lock too, so that the real close, which
        // purges notifications after marking itself, cannot miss it.
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, SEND_CLOSED);
        const size_t queued = queuedBytes_.load(std::memory_order_relaxed);
        if (closePending_ || closed_) {
            result = SEND_CLOSED;
        } else if (queued >= limit) {
            result = SEND_FULL;
        } else {
            const bool wasEmpty = Append(block);
            CountQueued(static_cast<long long>(length));
            CountLines(1);
            // A queue that was not empty has its output pass (or its retry) pending.
            if (!wasEmpty || reactor() == 0 || RequestOutput()) {
                return 0;
            }
            orphaned = true;
        }
    }
    if (orphaned) {
        // Without its output pass nothing queued would ever be written: close instead of
        // leaving the client waiting. The close releases the block with the queue.
        handle_close();
        return SEND_CLOSED;
    }
    block->release();
    return result;
}

void StreamHandler::CloseLater() {
    bool postNotification = false;
    {
        ACE_GUARD(ACE_Thread_Mutex, guard, stateLock_);
        if (closed_ || closePending_) {
            return;
        }
        closePending_ = postNotification = true;
    }
    if (postNotification && reactor() != 0 && reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK) == -1) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("StreamHandler: notify close")));
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
    return LeaveUpcall(WriteQueued());
}

// The queued blocks are written in place with one gathering write of up to
// WRITE_BATCH blocks, and only taken off the queue once fully written: a burst of lines,
// such as a broadcast to thousands of users, costs one system call per connection. Loop thread only: no other thread takes blocks off, so the
// blocks gathered stay valid while other threads append behind them.
int StreamHandler::WriteQueued() {
    size_t made = 0;          // bytes that sources made in this pass
    bool socketFull = false;  // else the loop ended at the queue's end or at a source's pass limit
    for (;;) {
        iovec pieces[WRITE_BATCH];
        bool blockEnds[WRITE_BATCH];
        int count = 0;
        {
            ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, -1);
            size_t skip = headWritten_;
            size_t bytes = 0;
            for (ACE_Message_Block* block = head_;
                 count < WRITE_BATCH && bytes < WRITE_BYTES && block != 0 && !IsMarker(block);
                 block = block->next(), ++count) {
                pieces[count].iov_base = block->rd_ptr() + skip;
                pieces[count].iov_len = std::min<size_t>(block->length() - skip, WRITE_BYTES - bytes);
                blockEnds[count] = pieces[count].iov_len == block->length() - skip;
                bytes += pieces[count].iov_len;
                skip = 0;
            }
        }
        if (count == 0) {
            if (ExpandSource(made)) continue;
            break;
        }
        // A zero-timeout write: MSG_DONTWAIT takes whatever room the socket has. (ACE's
        // timed send polls first and gives up while the buffer is merely past its
        // writable mark, which would stall output until the retry timer.)
        msghdr message;
        std::memset(&message, 0, sizeof message);
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t written = ::sendmsg(peer().get_handle(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && !IsTransient(errno)) {
            return -1;  // the blocks are released with the queue
        }
        if (written > 0) bytesWrittenOfAll.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
        size_t left = written > 0 ? static_cast<size_t>(written) : 0;
        bool full = written <= 0;
        int done = 0;        // blocks written to their end
        size_t partial = 0;  // bytes written of the block after them
        for (int i = 0; i < count; ++i) {
            if (left < pieces[i].iov_len || !blockEnds[i]) {
                // The socket is full, or the block was cut at WRITE_BYTES: the rest stays
                // at the head for the next write.
                partial = std::min(left, pieces[i].iov_len);
                full = full || left < pieces[i].iov_len;
                break;
            }
            left -= pieces[i].iov_len;
            ++done;
        }
        ACE_Message_Block* finished = 0;
        if (done > 0) {
            ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, -1);
            finished = head_;
            ACE_Message_Block* last = 0;
            size_t bytes = 0;
            for (int i = 0; i < done; ++i) {
                last = head_;
                bytes += head_->length();
                head_ = head_->next();
            }
            last->next(0);
            if (head_ == 0) tail_ = 0;
            CountQueued(-static_cast<long long>(bytes));
            headWritten_ = 0;
        }
        headWritten_ += partial;
        ReleaseChain(finished);  // without the lock: a shared line's release takes locks of its own
        if (full) {
            socketFull = true;
            break;
        }
    }
    if (reactor() == 0) return 0;
    if (!HasQueued()) {
        if (waitingForRoom_ && reactor()->cancel_wakeup(this, ACE_Event_Handler::WRITE_MASK) != -1)
            waitingForRoom_ = false;
        // The drained queue's OnStreamReady, called here: a zero-delay timer would be
        // dispatched before any I/O, and thousands of them hold up every connection.
        if (outputPaused_) UpdateInput();
        if (StreamListener* const listener = listener_.load()) listener->OnStreamReady();
        return 0;
    } else if (socketFull ? !WaitForRoom() : !RequestOutput()) {
        // Without its retry, or the source's next pass, the output would never be written.
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
    } else if (!HasQueued()) {
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
    bool closeNow = false;
    bool postNotification = false;
    {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, -1);
        if (closed_) {
            return 0;
        }
        if (onLoopThread && upcallDepth_ == 0) {
            closed_ = closeNow = true;
        } else {
            postNotification = !closePending_;
            closePending_ = true;
        }
    }
    if (!closeNow) {
        if (postNotification && reactor() != 0 && reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK) == -1) {
            // The next callback, or the reactor's shutdown, still completes the close.
            ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("StreamHandler: notify close")));
        }
        return 0;
    }
    CloseNow();
    return 0;
}

void StreamHandler::CloseNow() {
    AssertLoopThread();
    sources_t sources;
    ReleaseChain(TakeQueue(sources));
    if (reactor() != 0) {
        reactor()->cancel_timer(this, 1);
        reactor()->purge_pending_notifications(this);
        OutputScheduler::Forget(reactor(), this);
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

void StreamHandler::AssertLoopThread() const {
    if (reactor() != 0) ReactorThread::AssertLoopThread(reactor());
}

// A place in the reactor's output line; without one, a notification of its own.
bool StreamHandler::RequestOutput() {
    return OutputScheduler::Queue(reactor(), this) || reactor()->notify(this, ACE_Event_Handler::WRITE_MASK) != -1;
}

bool StreamHandler::EnterUpcall() {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, false);
    if (closePending_ || closed_) {
        return false;
    }
    ++upcallDepth_;
    return true;
}

int StreamHandler::LeaveUpcall(int result) {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, -1);
    --upcallDepth_;
    if (closePending_ && upcallDepth_ == 0) {
        return -1;
    }
    return result;
}
