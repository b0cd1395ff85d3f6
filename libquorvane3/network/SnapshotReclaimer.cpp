#include "network/SnapshotReclaimer.h"

namespace {

// The reader slot of a thread, given back when the thread ends (its counter is even then).
struct ReaderSlot {
    std::atomic<bool>* taken = nullptr;
    void* reader = nullptr;
    ~ReaderSlot() {
        if (taken != nullptr) taken->store(false, std::memory_order_release);
    }
};

thread_local ReaderSlot slot;

}  // namespace

SnapshotReclaimer& SnapshotReclaimer::Instance() {
    static SnapshotReclaimer* const reclaimer = new SnapshotReclaimer;
    return *reclaimer;
}

SnapshotReclaimer::Reader* SnapshotReclaimer::ThisReader() {
    if (slot.reader != nullptr) return static_cast<Reader*>(slot.reader);
    for (Reader& reader : readers_) {
        bool expected = false;
        if (reader.taken.compare_exchange_strong(expected, true)) {
            slot.taken = &reader.taken;
            slot.reader = &reader;
            return &reader;
        }
    }
    return nullptr;
}

// Sequentially consistent on purpose: the counter's increment must be ordered before the
// batch's pointer loads, as a writer's pointer store is before its reading of the counters.
void SnapshotReclaimer::Enter() {
    if (Reader* reader = ThisReader()) reader->epoch.fetch_add(1, std::memory_order_seq_cst);
    else overflowReaders_.fetch_add(1, std::memory_order_seq_cst);
}

void SnapshotReclaimer::Leave() {
    if (Reader* reader = static_cast<Reader*>(slot.reader)) reader->epoch.fetch_add(1, std::memory_order_seq_cst);
    else overflowReaders_.fetch_sub(1, std::memory_order_seq_cst);
}

void SnapshotReclaimer::Retire(std::shared_ptr<const void> object) {
    objects_t released;
    std::lock_guard<std::mutex> guard(lock_);
    waiting_.push_back(std::move(object));
    ReclaimLocked(released);
    // released is dropped after the lock (declared first): a destructor may retire more.
}

size_t SnapshotReclaimer::Reclaim() {
    objects_t released;
    std::lock_guard<std::mutex> guard(lock_);
    return ReclaimLocked(released);
}

size_t SnapshotReclaimer::ReclaimLocked(objects_t& released) {
    if (!grace_.empty() && GraceOver()) released.swap(grace_);
    if (grace_.empty() && !waiting_.empty()) {
        grace_.swap(waiting_);
        // Every reader between batches: none can hold what was unpublished before now.
        if (!TakeSnapshot()) {
            released.insert(released.end(), grace_.begin(), grace_.end());
            grace_.clear();
        }
    }
    return grace_.size() + waiting_.size();
}

bool SnapshotReclaimer::TakeSnapshot() {
    graceSnapshot_.clear();
    for (int i = 0; i < MAX_READERS; ++i) {
        if (!readers_[i].taken.load(std::memory_order_seq_cst)) continue;
        const uint64_t epoch = readers_[i].epoch.load(std::memory_order_seq_cst);
        if (epoch & 1) graceSnapshot_.push_back(std::make_pair(i, epoch));
    }
    graceOverflow_ = overflowReaders_.load(std::memory_order_seq_cst) != 0;
    return !graceSnapshot_.empty() || graceOverflow_;
}

bool SnapshotReclaimer::GraceOver() const {
    for (const std::pair<int, uint64_t>& reader : graceSnapshot_)
        if (readers_[reader.first].epoch.load(std::memory_order_acquire) == reader.second) return false;
    return !graceOverflow_ || overflowReaders_.load(std::memory_order_acquire) == 0;
}
