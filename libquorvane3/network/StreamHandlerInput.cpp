// The input side of a connection: reads, input the listener moves itself, the listener's
// turns for input it still holds, and holding input back while the output is full.
#include <cerrno>

#include "network/OutputScheduler.h"
#include "network/StreamHandler.h"

namespace {

// Every handler reads on the loop thread and hands the bytes over before the next read,
// so one buffer per thread serves them all: no 64 KiB per connection.
char* ReceiveBuffer() {
    static thread_local char buffer[StreamHandler::RECEIVE_BUFFER_SIZE];
    return buffer;
}

}  // namespace

// Both a readable socket and the notification that gives pending input its next turn
// arrive here.
int StreamHandler::handle_input(ACE_HANDLE) {
    AssertLoopThread();
    if (!EnterUpcall()) {
        return -1;
    }
    if (resumeScheduled_) {
        ResumeInput();
        return LeaveUpcall(0);
    }
    return LeaveUpcall(ReadOnce());
}

// One read per event, never "call me again": a connection with more waiting is served
// on the next turn of the loop, after the others.
int StreamHandler::ReadOnce() {
    if (!reading_) {
        return 0;  // an event that was already due when input was held back
    }
    StreamListener* const listener = listener_.load();
    // Spliced bytes would bypass a transport that deciphers them.
    if (listener != 0 && !transport_ && listener->TakesStreamInput()) {
        const int moved = MoveInput(*listener);
        if (moved != 1) return moved;
    }
    char* const buffer = ReceiveBuffer();
    const ssize_t count = writer_->Read(buffer, RECEIVE_BUFFER_SIZE);
    if (count == 0) {
        return PeerClosed();
    }
    if (count < 0) {
        return IsTransient(errno) || errno == EINTR ? 0 : -1;
    }
    if (listener == 0) {
        return -1;
    }
    bool keepOpen = true;
    listener->OnStreamData(buffer, count, keepOpen);
    if (!keepOpen) {
        FlushBeforeClose();
        return -1;
    }
    return AfterInput();
}

int StreamHandler::MoveInput(StreamListener& listener) {
    switch (listener.OnStreamReadable(peer().get_handle())) {
    case StreamListener::INPUT_READ: return 1;
    case StreamListener::INPUT_NONE: return 0;
    case StreamListener::INPUT_ENDED: return PeerClosed();
    case StreamListener::INPUT_FAILED: return -1;
    case StreamListener::INPUT_MOVED: break;
    }
    return AfterInput();
}

// The peer closed. The close (and the leaving user's notices to everyone) waits its turn
// among the loop's notifications, so that thousands of clients leaving at once do not
// hold up the reads of those who stay.
int StreamHandler::PeerClosed() {
    if (reactor() == 0 || resumeScheduled_) return -1;
    if (reactor()->mask_ops(this, ACE_Event_Handler::READ_MASK, ACE_Reactor::CLR_MASK) != -1) reading_ = false;
    peerClosed_ = resumeScheduled_ = true;
    return RequestTurn() ? 0 : -1;
}

// What the read or the turn answered (a pong) goes out now, with whatever was queued
// before it, rather than on this connection's output pass, which may wait behind
// thousands of others during a storm of broadcasts. One write at most: a connection with
// much queued gets the rest on its pass, so that answering one client never holds the
// loop over another's bulk output.
int StreamHandler::AfterInput() {
    if (!waitingForRoom_ && !queue_.Empty() && WriteQueued(WRITE_BYTES) == -1) {
        return -1;
    }
    UpdateInput();
    return 0;
}

// Input waits while the output is past its high water mark (until it drains below the
// low one), so a client that does not read its replies stalls only itself; and while
// the listener still has input of its own to handle, which it gets on the next turn.
void StreamHandler::UpdateInput() {
    AssertLoopThread();
    if (reactor() == 0) {
        return;
    }
    if (!outputPaused_ && IsOutputFull()) {
        outputPaused_ = true;
    } else if (outputPaused_ && QueuedBytes() < LOW_WATER_MARK) {
        outputPaused_ = false;
    }
    StreamListener* const listener = listener_.load();
    const bool held = listener != 0 && listener->IsInputHeld();
    const bool pending = !held && listener != 0 && listener->HasPendingInput();
    if (pending && !outputPaused_ && !resumeScheduled_) {
        resumeScheduled_ = true;
        // A listener over its command rate gets its turn once it may go on.
        const ACE_Time_Value delay = listener->PendingInputDelay();
        const bool requested =
            delay > ACE_Time_Value::zero ? reactor()->schedule_timer(this, &TURN_TIMER, delay) != -1 : RequestTurn();
        if (!requested) {
            resumeScheduled_ = false;
            handle_close();  // no turn can ever come: the connection would hang
            return;
        }
    }
    const bool read = !held && !pending && !outputPaused_;
    if (read != reading_ && reactor()->mask_ops(this, ACE_Event_Handler::READ_MASK,
                                                read ? ACE_Reactor::ADD_MASK : ACE_Reactor::CLR_MASK) != -1) {
        reading_ = read;
    }
}

// The listener's next turn comes behind the output passes already in line, those its own
// commands just caused included: a client that sends a burst of commands gets the next
// one handled only after the others were written what the last ones sent them. Without a
// scheduler, a notification: never a zero-delay timer, as the reactor dispatches due
// timers before any I/O and timers as turns would starve every other connection.
void StreamHandler::FlushBeforeClose() {
    if (!waitingForRoom_ && !queue_.Empty()) WriteQueued(REPLY_LIMIT);
}

bool StreamHandler::RequestTurn() {
    return (scheduler_ && scheduler_->QueueTurn(this)) || reactor()->notify(this, ACE_Event_Handler::READ_MASK) != -1;
}

void StreamHandler::ResumeInput() {
    resumeScheduled_ = false;
    if (peerClosed_) {
        handle_close();
        return;
    }
    StreamListener* const listener = listener_.load();
    if (listener == 0) {
        return;
    }
    bool keepOpen = true;
    listener->OnStreamResume(keepOpen);
    if (!keepOpen) {
        FlushBeforeClose();
        handle_close();
        return;
    }
    // The turn's answers go out at once, as a read's do.
    if (AfterInput() == -1) handle_close();
}
