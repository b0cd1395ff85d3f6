// What one connection has queued and not yet written: lines copied or shared by reference
// (blocks linked through next()), and the markers of sources that make their lines as the
// writer reaches them (see OutputSource). The writer gathers the head into iovecs for one
// transport write and consumes what the transport took.
//
// Threads: the connection's loop thread only (checked in debug builds), so nothing here
// takes a lock. Bytes and SourceBytes may be read anywhere; the process totals are atomics.
#ifndef QUORVANE_NETWORK_OUTPUTQUEUE_H
#define QUORVANE_NETWORK_OUTPUTQUEUE_H

#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "network/OutputSource.h"

class ACE_Message_Block;
class ACE_Reactor;

class OutputQueue {
public:
    explicit OutputQueue(ACE_Reactor* reactor) : reactor_(reactor) {}
    ~OutputQueue() { Clear(); }
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    bool Empty() const { return head_ == 0; }
    // Any thread. Bytes queued and not yet written (a partly written block counts whole);
    // the memory waiting sources hold (their Footprint).
    size_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }
    size_t SourceBytes() const { return sourceBytes_.load(std::memory_order_relaxed); }

    // Appends the block, taking it over; answers whether the queue was empty.
    bool Append(ACE_Message_Block* block);
    // Appends the source behind its marker (a block of no bytes), taking both over; answers
    // whether the queue was empty.
    bool AppendSource(std::unique_ptr<OutputSource> source, ACE_Message_Block* marker);
    // The head's bytes up to the first marker as at most count pieces of at most bytes in
    // all; answers the pieces filled (0 when the head is a marker or nothing is queued).
    int Gather(iovec* pieces, int count, size_t bytes) const;
    // The transport took written bytes of what Gather gave: the blocks it finished leave
    // the queue and are released.
    void Consume(size_t written);
    // When the head is a source's marker: the source's next blocks (about budget bytes) go
    // in front of it, and a finished source leaves with its marker. Answers false when the
    // head is no marker; else adds the bytes made to made.
    bool Expand(size_t budget, size_t& made);
    // Releases everything queued, sources included.
    void Clear();

    // Any thread: the totals of every queue of the process. Bytes queued now; source
    // memory now; lines (and other blocks) queued and bytes written since the start.
    static long long BytesOfAll();
    static long long SourceBytesOfAll();
    static uint64_t LinesOfAll();
    static uint64_t BytesWrittenOfAll();

private:
    static bool IsMarker(const ACE_Message_Block* block);
    void AssertLoop() const;
    void Link(ACE_Message_Block* first, ACE_Message_Block* last);
    void CountBytes(long long delta);
    void CountSources(long long delta);

    ACE_Reactor* const reactor_;
    ACE_Message_Block* head_ = 0;
    ACE_Message_Block* tail_ = 0;
    size_t headWritten_ = 0;                             // bytes of the head block already written
    std::deque<std::unique_ptr<OutputSource>> sources_;  // in the order of their markers
    std::atomic<size_t> bytes_{0};                       // written here only, read anywhere
    std::atomic<size_t> sourceBytes_{0};
};

#endif
