// Deferred release of snapshots that a reader thread follows by raw pointer without any
// lock (the voice thread reading the routes, endpoints and channel member lists that the
// main loop publishes).
//
// A reader brackets each batch of reads with Enter and Leave: its own counter is odd
// inside a batch and even between batches, and it holds no snapshot pointer between
// batches. A writer first unpublishes a snapshot (an atomic pointer store), then hands it
// to Retire; the snapshot is released once every reader that was inside a batch at that
// moment has left it. A reader outside a batch cannot hold it: its next batch reads the
// new pointer. (std::atomic_load on a shared_ptr would take a lock from a global pool on
// every read, which a real-time reader must not wait for.)
//
// Threads: Enter and Leave on reader threads (lock-free: one atomic increment each; a
// thread's first Enter claims its slot with a compare-exchange). Retire and Reclaim on
// writer threads (under a mutex that readers never take).
#ifndef QUORVANE_NETWORK_SNAPSHOTRECLAIMER_H
#define QUORVANE_NETWORK_SNAPSHOTRECLAIMER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class SnapshotReclaimer {
public:
    enum { MAX_READERS = 64 };  // reader threads at once; more read as if never idle

    // The process's reclaimer, the only one: for every reader and writer, never
    // destroyed (a reader thread may leave its last batch during exit).
    static SnapshotReclaimer& Instance();

    SnapshotReclaimer(const SnapshotReclaimer&) = delete;
    SnapshotReclaimer& operator=(const SnapshotReclaimer&) = delete;

    // Reader thread: around each batch of reads. Not nested.
    void Enter();
    void Leave();

    // Writer thread: the object, already unpublished, is dropped once no reader can hold
    // it; at once when no reader is inside a batch. Also releases what earlier calls
    // retired and is now free.
    void Retire(std::shared_ptr<const void> object);
    // Writer thread: releases what no reader can hold any more; answers how many objects
    // still wait. Called now and then, so that the last retired objects do not wait for
    // the next Retire.
    size_t Reclaim();

private:
    SnapshotReclaimer() = default;

    struct alignas(64) Reader {
        std::atomic<uint64_t> epoch{0};  // odd inside a batch
        std::atomic<bool> taken{false};
    };
    typedef std::vector<std::shared_ptr<const void>> objects_t;

    // The calling thread's reader, registered on first use; null when every one is taken.
    Reader* ThisReader();
    // Under lock_: ends the running grace when it is over (its objects go to released,
    // to be dropped outside the lock) and begins the next; answers the objects left.
    size_t ReclaimLocked(objects_t& released);
    // Under lock_: the readers inside a batch now, and their counters; false when none is.
    bool TakeSnapshot();
    bool GraceOver() const;

    Reader readers_[MAX_READERS];
    std::atomic<int> overflowReaders_{0};  // readers without a slot inside a batch
    std::mutex lock_;                      // guards what follows; writers only
    // Retired while graceSnapshot_ was taken: released once that grace is over.
    objects_t grace_;
    std::vector<std::pair<int, uint64_t>> graceSnapshot_;  // reader, counter when it began
    bool graceOverflow_ = false;
    objects_t waiting_;  // retired after the snapshot: its grace begins when this one ends
};

#endif
