#include "network/OutputQueue.h"

#include <algorithm>

#include <ace/Message_Block.h>

#include "network/QueueEntryPool.h"
#include "network/ReactorThread.h"
#include "network/SharedLine.h"

static_assert(sizeof(void*) + size_t{OutputQueue::ENTRIES} * 24 <= QueueEntryPool::ENTRY_BYTES,
              "a chunk of entries must fit a pool cell");

namespace {

std::atomic<long long> bytesOfAll(0);
std::atomic<long long> sourceBytesOfAll(0);
std::atomic<long long> memoryOfAll(0);
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
long long OutputQueue::MemoryOfAll() { return memoryOfAll.load(std::memory_order_relaxed); }
uint64_t OutputQueue::LinesOfAll() { return linesOfAll.load(std::memory_order_relaxed); }
uint64_t OutputQueue::BytesWrittenOfAll() { return bytesWrittenOfAll.load(std::memory_order_relaxed); }

void OutputQueue::AssertLoop() const { ReactorThread::AssertLoopThread(reactor_); }

// The connection's count and the process's move together; only this thread writes ours.
void OutputQueue::CountBytes(long long delta) {
    bytes_.store(static_cast<size_t>(static_cast<long long>(bytes_.load(std::memory_order_relaxed)) + delta),
                 std::memory_order_relaxed);
    bytesOfAll.fetch_add(delta, std::memory_order_relaxed);
}

void OutputQueue::CountMemory(long long delta) {
    memory_.store(static_cast<size_t>(static_cast<long long>(memory_.load(std::memory_order_relaxed)) + delta),
                  std::memory_order_relaxed);
    memoryOfAll.fetch_add(delta, std::memory_order_relaxed);
}

void OutputQueue::CountSources(long long delta) {
    sourceBytes_.store(
        static_cast<size_t>(static_cast<long long>(sourceBytes_.load(std::memory_order_relaxed)) + delta),
        std::memory_order_relaxed);
    sourceBytesOfAll.fetch_add(delta, std::memory_order_relaxed);
}

void OutputQueue::Release(const Entry& entry) {
    if (entry.kind == COPY) static_cast<ACE_Message_Block*>(entry.owner)->release();
    else if (entry.kind == SHARED) SharedLine::LetGo(static_cast<SharedLine::Text*>(entry.owner));
}

OutputQueue::Entry* OutputQueue::Push() {
    if (tail_ == 0 || end_ == static_cast<unsigned>(ENTRIES)) {
        Chunk* const chunk = static_cast<Chunk*>(QueueEntryPool::Instance().malloc(sizeof(Chunk)));
        if (chunk == 0) return 0;
        chunk->next = 0;
        if (tail_ != 0) {
            tail_->next = chunk;
        } else {
            head_ = chunk;
            first_ = 0;
        }
        tail_ = chunk;
        end_ = 0;
    }
    return &tail_->entries[end_++];
}

void OutputQueue::Pop() {
    if (++first_ < static_cast<unsigned>(ENTRIES) && (head_ != tail_ || first_ < end_)) return;
    Chunk* const done = head_;
    head_ = head_ != tail_ ? head_->next : 0;
    if (head_ == 0) tail_ = 0, end_ = 0;
    first_ = 0;
    QueueEntryPool::Instance().free(done);
}

int OutputQueue::Pushed(bool wasEmpty, size_t bytes) {
    CountBytes(static_cast<long long>(bytes));
    linesOfAll.fetch_add(1, std::memory_order_relaxed);
    return wasEmpty ? 1 : 0;
}

int OutputQueue::Append(ACE_Message_Block* block) {
    AssertLoop();
    const bool wasEmpty = Empty();
    Entry* const entry = Push();
    if (entry == 0) {
        block->release();
        return -1;
    }
    const uint32_t length = static_cast<uint32_t>(block->length());
    *entry = Entry{block->rd_ptr(), length, COPY, length, block};
    CountMemory(length);
    return Pushed(wasEmpty, block->length());
}

int OutputQueue::AppendShared(const SharedLine& line) {
    AssertLoop();
    const bool wasEmpty = Empty();
    Entry* const entry = Push();
    if (entry == 0) return -1;
    const ACE_Message_Block& block = line.Block();
    SharedLine::Text* const text = line.Hold();
    const uint32_t length = static_cast<uint32_t>(block.length());
    const uint32_t cost = static_cast<uint32_t>(sizeof(Entry) + length / text->holders);
    *entry = Entry{block.rd_ptr(), length, SHARED, cost, text};
    CountMemory(cost);
    return Pushed(wasEmpty, length);
}

int OutputQueue::AppendSource(std::unique_ptr<OutputSource> source) {
    AssertLoop();
    const bool wasEmpty = Empty();
    Entry* const entry = Push();
    if (entry == 0) return -1;
    *entry = Entry{0, 0, MARKER, 0, 0};
    CountSources(static_cast<long long>(source->Footprint()));
    sources_.push_back(std::move(source));
    return wasEmpty ? 1 : 0;
}

int OutputQueue::Gather(iovec* pieces, int count, size_t bytes) const {
    AssertLoop();
    int filled = 0;
    size_t skip = headWritten_, gathered = 0;
    auto add = [&](const char* data, size_t length) {
        pieces[filled].iov_base = const_cast<char*>(data) + skip;
        pieces[filled].iov_len = std::min(length - skip, bytes - gathered);
        gathered += pieces[filled++].iov_len;
        skip = 0;
    };
    if (made_ != 0) {
        // What the head's source made goes first; its marker ends the gathering.
        for (ACE_Message_Block* block = made_; filled < count && gathered < bytes && block != 0; block = block->next())
            add(block->rd_ptr(), block->length());
        return filled;
    }
    for (Chunk* chunk = head_; chunk != 0 && filled < count && gathered < bytes; chunk = chunk->next) {
        const unsigned from = chunk == head_ ? first_ : 0u;
        const unsigned to = chunk == tail_ ? end_ : static_cast<unsigned>(ENTRIES);
        for (unsigned i = from; i < to && filled < count && gathered < bytes; ++i) {
            if (chunk->entries[i].kind == MARKER) return filled;
            add(chunk->entries[i].data, chunk->entries[i].length);
        }
    }
    return filled;
}

void OutputQueue::Consume(size_t written) {
    AssertLoop();
    bytesWrittenOfAll.fetch_add(written, std::memory_order_relaxed);
    size_t released = 0, freed = 0;
    while (made_ != 0 && written >= made_->length() - headWritten_) {
        written -= made_->length() - headWritten_;
        released += made_->length();
        freed += made_->length();
        headWritten_ = 0;
        ACE_Message_Block* const done = made_;
        made_ = made_->next();
        done->next(0);
        done->release();
    }
    while (made_ == 0 && head_ != 0) {
        const Entry entry = head_->entries[first_];
        if (entry.kind == MARKER || written < entry.length - headWritten_) break;
        written -= entry.length - headWritten_;
        released += entry.length;
        freed += entry.cost;
        headWritten_ = 0;
        Pop();
        Release(entry);
    }
    headWritten_ += written;  // the rest of a partly written line
    if (released != 0) CountBytes(-static_cast<long long>(released));
    if (freed != 0) CountMemory(-static_cast<long long>(freed));
}

bool OutputQueue::Expand(size_t budget, size_t& made) {
    AssertLoop();
    if (made_ != 0 || head_ == 0 || head_->entries[first_].kind != MARKER || sources_.empty()) return false;
    ACE_Message_Block* first = 0;
    ACE_Message_Block* last = 0;
    const bool finished = sources_.front()->Produce(budget, first, last) || first == 0;
    size_t bytes = 0;
    uint64_t blocks = 0;
    for (ACE_Message_Block* block = first; block != 0; block = block->next(), ++blocks) bytes += block->length();
    made_ = first;
    headWritten_ = 0;
    if (first != 0) {
        CountBytes(static_cast<long long>(bytes));
        CountMemory(static_cast<long long>(bytes));
        linesOfAll.fetch_add(blocks, std::memory_order_relaxed);
    }
    if (finished) {
        // Its marker leaves: whatever waited behind it follows what it made last.
        Pop();
        CountSources(-static_cast<long long>(sources_.front()->Footprint()));
        sources_.pop_front();
    }
    made += bytes;
    return true;
}

void OutputQueue::Clear() {
    AssertLoop();
    ReleaseChain(made_);
    made_ = 0;
    while (head_ != 0) {
        const Entry entry = head_->entries[first_];
        Pop();
        Release(entry);
    }
    headWritten_ = 0;
    CountBytes(-static_cast<long long>(Bytes()));
    CountMemory(-static_cast<long long>(Memory()));
    CountSources(-static_cast<long long>(SourceBytes()));
    sources_.clear();
}
