#include "network/OutputQueue.h"

#include <algorithm>

#include <ace/Message_Block.h>

#include "network/ReactorThread.h"

namespace {

std::atomic<long long> bytesOfAll(0);
std::atomic<long long> sourceBytesOfAll(0);
std::atomic<uint64_t> linesOfAll(0);
std::atomic<uint64_t> bytesWrittenOfAll(0);

// Releases blocks linked through next().
void ReleaseChain(ACE_Message_Block* block) {
    while (block != 0) {
        ACE_Message_Block* const next = block->next();
        block->next(0);
        block->release();
        block = next;
    }
}

}  // namespace

long long OutputQueue::BytesOfAll() { return bytesOfAll.load(std::memory_order_relaxed); }
long long OutputQueue::SourceBytesOfAll() { return sourceBytesOfAll.load(std::memory_order_relaxed); }
uint64_t OutputQueue::LinesOfAll() { return linesOfAll.load(std::memory_order_relaxed); }
uint64_t OutputQueue::BytesWrittenOfAll() { return bytesWrittenOfAll.load(std::memory_order_relaxed); }

// A source's place in the queue: a block of no bytes, of a type that no line has.
bool OutputQueue::IsMarker(const ACE_Message_Block* block) { return block->msg_type() == ACE_Message_Block::MB_USER; }

void OutputQueue::AssertLoop() const { ReactorThread::AssertLoopThread(reactor_); }

// The connection's count and the process's move together; only this thread writes ours.
void OutputQueue::CountBytes(long long delta) {
    bytes_.store(static_cast<size_t>(static_cast<long long>(bytes_.load(std::memory_order_relaxed)) + delta),
                 std::memory_order_relaxed);
    bytesOfAll.fetch_add(delta, std::memory_order_relaxed);
}

void OutputQueue::CountSources(long long delta) {
    sourceBytes_.store(
        static_cast<size_t>(static_cast<long long>(sourceBytes_.load(std::memory_order_relaxed)) + delta),
        std::memory_order_relaxed);
    sourceBytesOfAll.fetch_add(delta, std::memory_order_relaxed);
}

void OutputQueue::Link(ACE_Message_Block* first, ACE_Message_Block* last) {
    last->next(0);
    if (tail_ != 0) {
        tail_->next(first);
    } else {
        head_ = first;
    }
    tail_ = last;
}

bool OutputQueue::Append(ACE_Message_Block* block) {
    AssertLoop();
    const bool wasEmpty = head_ == 0;
    Link(block, block);
    CountBytes(static_cast<long long>(block->length()));
    linesOfAll.fetch_add(1, std::memory_order_relaxed);
    return wasEmpty;
}

bool OutputQueue::AppendSource(std::unique_ptr<OutputSource> source, ACE_Message_Block* marker) {
    AssertLoop();
    const bool wasEmpty = head_ == 0;
    CountSources(static_cast<long long>(source->Footprint()));
    sources_.push_back(std::move(source));
    Link(marker, marker);
    return wasEmpty;
}

int OutputQueue::Gather(iovec* pieces, int count, size_t bytes) const {
    AssertLoop();
    int filled = 0;
    size_t skip = headWritten_, gathered = 0;
    for (ACE_Message_Block* block = head_; filled < count && gathered < bytes && block != 0 && !IsMarker(block);
         block = block->next(), ++filled) {
        pieces[filled].iov_base = block->rd_ptr() + skip;
        pieces[filled].iov_len = std::min<size_t>(block->length() - skip, bytes - gathered);
        gathered += pieces[filled].iov_len;
        skip = 0;
    }
    return filled;
}

void OutputQueue::Consume(size_t written) {
    AssertLoop();
    bytesWrittenOfAll.fetch_add(written, std::memory_order_relaxed);
    ACE_Message_Block* const finished = head_;
    ACE_Message_Block* last = 0;
    size_t released = 0;
    while (head_ != 0 && !IsMarker(head_) && written >= head_->length() - headWritten_) {
        written -= head_->length() - headWritten_;
        released += head_->length();
        headWritten_ = 0;
        last = head_;
        head_ = head_->next();
    }
    headWritten_ += written;  // the rest of a partly written head
    if (last == 0) return;
    last->next(0);
    if (head_ == 0) tail_ = 0;
    CountBytes(-static_cast<long long>(released));
    ReleaseChain(finished);
}

bool OutputQueue::Expand(size_t budget, size_t& made) {
    AssertLoop();
    if (head_ == 0 || !IsMarker(head_) || sources_.empty()) return false;
    ACE_Message_Block* first = 0;
    ACE_Message_Block* last = 0;
    const bool finished = sources_.front()->Produce(budget, first, last) || first == 0;
    size_t bytes = 0;
    uint64_t blocks = 0;
    for (ACE_Message_Block* block = first; block != 0; block = block->next(), ++blocks) bytes += block->length();
    ACE_Message_Block* const marker = head_;
    if (first != 0) {
        last->next(marker);
        head_ = first;
        CountBytes(static_cast<long long>(bytes));
        linesOfAll.fetch_add(blocks, std::memory_order_relaxed);
    }
    if (finished) {
        // Out of the queue: whatever waited behind it follows what it made last.
        ACE_Message_Block* const after = marker->next();
        if (first != 0) {
            last->next(after);
        } else {
            head_ = after;
        }
        if (tail_ == marker) tail_ = first != 0 ? last : 0;
        marker->next(0);
        marker->release();
        CountSources(-static_cast<long long>(sources_.front()->Footprint()));
        sources_.pop_front();
    }
    made += bytes;
    return true;
}

void OutputQueue::Clear() {
    AssertLoop();
    ACE_Message_Block* const chain = head_;
    head_ = tail_ = 0;
    headWritten_ = 0;
    CountBytes(-static_cast<long long>(Bytes()));
    CountSources(-static_cast<long long>(SourceBytes()));
    ReleaseChain(chain);
    sources_.clear();
}
