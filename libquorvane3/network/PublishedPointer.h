// One snapshot published by a writer thread for a reader thread that follows it without
// any lock: the reader loads a raw pointer, the writer owns the snapshot and, on replacing
// it, hands the old one to the SnapshotReclaimer, which drops it once no reader's batch
// can still hold it.
//
// Threads: Get on the reader thread inside a SnapshotReclaimer batch (the pointer is valid
// until the batch ends). Set and Owner on the one writer thread.
#ifndef QUORVANE_NETWORK_PUBLISHEDPOINTER_H
#define QUORVANE_NETWORK_PUBLISHEDPOINTER_H

#include <atomic>
#include <memory>
#include <utility>

#include "network/SnapshotReclaimer.h"

template <class T>
class PublishedPointer {
public:
    PublishedPointer() = default;
    explicit PublishedPointer(std::shared_ptr<T> first) { Set(std::move(first)); }
    PublishedPointer(const PublishedPointer&) = delete;
    PublishedPointer& operator=(const PublishedPointer&) = delete;

    // Sequentially consistent, as the reclaimer's batch counters are (see there).
    T* Get() const { return current_.load(std::memory_order_seq_cst); }

    void Set(std::shared_ptr<T> next) {
        if (next == owner_) return;
        std::shared_ptr<T> previous = std::move(owner_);
        owner_ = std::move(next);
        current_.store(owner_.get(), std::memory_order_seq_cst);
        if (previous) SnapshotReclaimer::Instance().Retire(std::move(previous));
    }

    const std::shared_ptr<T>& Owner() const { return owner_; }

private:
    std::atomic<T*> current_{nullptr};
    std::shared_ptr<T> owner_;
};

#endif
