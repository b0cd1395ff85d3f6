// The small entries by which one shared line is queued on thousands of connections, kept
// apart from the heap. A broadcast storm queues millions of them and frees them as the
// connections drain; on the heap they would leave it fragmented, and giving that memory
// back takes one long trim that stalls the loop. Here they live in slabs mapped from the
// system, and a slab goes back to the system as soon as its last entry is freed.
//
// Threads: one thread at a time, without a lock: the main loop's (the host's while no loop
// runs), where every shared line and its queued references live. Debug builds abort when
// two threads are found inside at once.
#ifndef QUORVANE_NETWORK_QUEUEENTRYPOOL_H
#define QUORVANE_NETWORK_QUEUEENTRYPOOL_H

#include <atomic>
#include <cstddef>

#include <ace/Malloc_Allocator.h>

class QueueEntryPool : public ACE_New_Allocator {
public:
    // Sizes this pool serves; larger requests get no memory.
    enum { ENTRY_BYTES = 80, SLAB_BYTES = 256 * 1024 };

    QueueEntryPool() = default;
    ~QueueEntryPool() override;
    QueueEntryPool(const QueueEntryPool&) = delete;
    QueueEntryPool& operator=(const QueueEntryPool&) = delete;

    // The process's pool: never destroyed, as entries may be freed during exit.
    static QueueEntryPool& Instance();

    void* malloc(size_t bytes) override;
    void* calloc(size_t bytes, char initialValue = '\0') override;
    void* calloc(size_t count, size_t bytes, char initialValue = '\0') override;
    void free(void* entry) override;

    size_t Entries();  // in use
    size_t Slabs();    // mapped, the spare one included

private:
    struct Slab;
    Slab* NewSlab();
    void Unlink(Slab* slab);
    void PushPartial(Slab* slab);
    Slab* Release(void* entry);

    class Inside;  // the debug builds' check that one thread at a time is inside
    std::atomic<bool> busy_{false};
    Slab* partial_ = nullptr;  // slabs with room, the one allocated from first
    Slab* spare_ = nullptr;    // one empty slab kept, so that a line to one user does not map and unmap
    size_t entries_ = 0;
    size_t slabs_ = 0;
};

#endif
