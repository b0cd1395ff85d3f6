// What one connection has queued and not yet written: lines copied or shared by reference,
// and the markers of sources that make their lines as the writer reaches them (see
// OutputSource). Each is an entry of 24 bytes (where its bytes are, and what to release
// once they are written), kept in chunks of ENTRIES taken from the QueueEntryPool: a
// broadcast's line costs each receiver one entry and a count on the line's data block, and
// a write gathers neighbouring entries. What a source made waits in front of its marker as
// blocks. The writer gathers the head into iovecs for one transport write and consumes
// what the transport took.
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
class SharedLine;

class OutputQueue {
public:
    enum { ENTRIES = 3 };  // per chunk: a chunk fills a pool cell

    explicit OutputQueue(ACE_Reactor* reactor) : reactor_(reactor) {}
    ~OutputQueue() { Clear(); }
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    bool Empty() const { return head_ == 0 && made_ == 0; }
    // Any thread. Bytes queued and not yet written (a partly written line counts whole);
    // the memory waiting sources hold (their Footprint).
    size_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }
    size_t SourceBytes() const { return sourceBytes_.load(std::memory_order_relaxed); }
    // Any thread. The memory the queued lines hold: a copy its bytes, a shared line its
    // entry and its share of the text (the text over the holders it had when queued here),
    // so that a line sent to thousands counts its text some times in all (a harmonic sum:
    // ten times for ten thousand), not once per receiver.
    size_t Memory() const { return memory_.load(std::memory_order_relaxed); }

    // Appends the block's bytes, taking the block over; answers whether the queue was
    // empty, or -1 when no entry could be had (the block is released).
    int Append(ACE_Message_Block* block);
    // Appends a reference to the line's bytes (see SharedLine), as Append answers.
    int AppendShared(const SharedLine& line);
    // Appends the source's marker, taking the source over, as Append answers.
    int AppendSource(std::unique_ptr<OutputSource> source);
    // The head's bytes up to the first marker as at most count pieces of at most bytes in
    // all; answers the pieces filled (0 when the head is a marker or nothing is queued).
    int Gather(iovec* pieces, int count, size_t bytes) const;
    // The transport took written bytes of what Gather gave: the lines it finished leave
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
    static long long MemoryOfAll();
    static uint64_t LinesOfAll();
    static uint64_t BytesWrittenOfAll();

private:
    enum Kind { COPY, SHARED, MARKER };
    struct Entry {
        const char* data;
        uint32_t length;
        uint32_t kind : 2;
        uint32_t cost : 30;  // what it adds to Memory()
        void* owner;         // COPY: its ACE_Message_Block; SHARED: the line's SharedLine::Text
    };
    struct Chunk {
        Chunk* next;
        Entry entries[ENTRIES];
    };

    void AssertLoop() const;
    // A new entry at the tail; null when no chunk could be had.
    Entry* Push();
    // Takes the head entry off (its chunk freed when it was the last) without releasing it.
    void Pop();
    int Pushed(bool wasEmpty, size_t bytes);
    void CountBytes(long long delta);
    void CountMemory(long long delta);
    void CountSources(long long delta);
    static void Release(const Entry& entry);

    ACE_Reactor* const reactor_;
    Chunk* head_ = 0;  // entries from head_->entries[first_] ...
    Chunk* tail_ = 0;  // ... to tail_->entries[end_ - 1]
    unsigned first_ = 0, end_ = 0;
    ACE_Message_Block* made_ = 0;                        // what the head's source made, in front of its marker
    size_t headWritten_ = 0;                             // bytes of the first made block, or entry, already written
    std::deque<std::unique_ptr<OutputSource>> sources_;  // in the order of their markers
    std::atomic<size_t> bytes_{0};                       // written here only, read anywhere
    std::atomic<size_t> sourceBytes_{0};
    std::atomic<size_t> memory_{0};
};

#endif
