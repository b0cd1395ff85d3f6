// The output that sources make as a connection drains: a marker keeps each source's place
// in the queue, and the writer asks the source at the head for its next piece.
#include <ace/Guard_T.h>
#include <ace/Message_Block.h>

#include "network/StreamHandler.h"

namespace {

std::atomic<long long> sourceBytesOfAll(0);

}  // namespace

long long StreamHandler::SourceBytesOfAll() { return sourceBytesOfAll.load(std::memory_order_relaxed); }

bool StreamHandler::IsMarker(const ACE_Message_Block* block) { return block->msg_type() == ACE_Message_Block::MB_USER; }

// Under stateLock_.
void StreamHandler::CountSources(long long delta) {
    sourceBytes_.store(
        static_cast<size_t>(static_cast<long long>(sourceBytes_.load(std::memory_order_relaxed)) + delta),
        std::memory_order_relaxed);
    sourceBytesOfAll += delta;
}

bool StreamHandler::HasQueued() {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, false);
    return head_ != 0;
}

int StreamHandler::SendSource(std::unique_ptr<OutputSource> source) {
    if (!source) return IsClosing() ? SEND_CLOSED : 0;
    ACE_Message_Block* marker = 0;
    ACE_NEW_NORETURN(marker, ACE_Message_Block(0, ACE_Message_Block::MB_USER));
    if (marker == 0) return SEND_FULL;
    bool orphaned = false;
    {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, SEND_CLOSED);
        if (!closePending_ && !closed_) {
            CountSources(static_cast<long long>(source->Footprint()));
            sources_.push_back(std::move(source));
            // As SendBlock: the notification under the lock, which the close purges after.
            if (!Append(marker) || reactor() == 0 || RequestOutput()) return 0;
            orphaned = true;
        }
    }
    if (orphaned) {
        handle_close();  // nothing would ever ask the source for its output
    } else {
        marker->release();
    }
    return SEND_CLOSED;  // the source goes with the caller's pointer, without the lock
}

bool StreamHandler::ExpandSource(size_t& made) {
    AssertLoopThread();
    OutputSource* source = 0;
    {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, false);
        if (head_ == 0 || !IsMarker(head_) || sources_.empty() || made >= PASS_BYTES) return false;
        source = sources_.front().get();  // only this thread takes it off
    }
    ACE_Message_Block* first = 0;
    ACE_Message_Block* last = 0;
    // Without the lock: the source duplicates shared lines, whose counts take a lock of their own.
    const bool finished = source->Produce(WRITE_BYTES, first, last) || first == 0;
    size_t bytes = 0, blocks = 0;
    for (ACE_Message_Block* block = first; block != 0; block = block->next(), ++blocks) bytes += block->length();
    std::unique_ptr<OutputSource> done;
    ACE_Message_Block* marker = 0;
    {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, stateLock_, false);
        ACE_Message_Block* const after = head_->next();
        if (first != 0) {
            last->next(head_);
            head_ = first;
            CountQueued(static_cast<long long>(bytes));
        }
        if (finished) {
            // Out of the queue: whatever waited behind it follows what it made last.
            marker = first != 0 ? last->next() : head_;
            if (first != 0) {
                last->next(after);
            } else {
                head_ = after;
            }
            if (tail_ == marker) tail_ = first != 0 ? last : 0;
            marker->next(0);
            done = std::move(sources_.front());
            sources_.pop_front();
            CountSources(-static_cast<long long>(done->Footprint()));
        }
    }
    CountLines(blocks);
    if (marker != 0) marker->release();
    made += bytes;
    return true;  // the finished source goes here, without the lock
}
