#include "network/QueueEntryPool.h"

#include <sys/mman.h>

#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

#include <sanitizer/asan_interface.h>
#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define QUORVANE_LEAK_CHECKED 1
#endif
#endif
#ifdef QUORVANE_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

#include <ace/Message_Block.h>

static_assert(sizeof(ACE_Message_Block) <= QueueEntryPool::ENTRY_BYTES, "a queue entry must fit a pool cell");

// Each entry is preceded by a pointer to its slab, so that a free finds the slab without
// the slabs having to be aligned (and so mapped with holes between them).
struct QueueEntryPool::Slab {
    Slab* prev;
    Slab* next;
    char* freeList;  // freed cells, linked through their first bytes
    size_t used;     // cells handed out
    size_t carved;   // cells taken from the untouched end so far
    bool listed;     // on the partial list
};

namespace {

// The leak checker does not look inside mapped memory: it is told of each slab, so that
// what a queue entry holds (a line's block) counts as reachable while it waits.
void* MapSlab(size_t bytes) {
    void* const memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#ifdef QUORVANE_LEAK_CHECKED
    if (memory != MAP_FAILED) __lsan_register_root_region(memory, bytes);
#endif
    return memory;
}

void UnmapSlab(void* memory, size_t bytes) {
#ifdef QUORVANE_LEAK_CHECKED
    __lsan_unregister_root_region(memory, bytes);
#endif
    munmap(memory, bytes);
}

const size_t HEADER = 16;  // the slab pointer, padded to keep entries 16-byte aligned
const size_t CELL = HEADER + (size_t{QueueEntryPool::ENTRY_BYTES} + 15) / 16 * 16;

size_t FirstCellOffset(size_t slabHeader) { return (slabHeader + 15) / 16 * 16; }

}  // namespace

// Marks the pool busy while a call runs: a second thread inside at the same time is a
// fault of the caller (entries confined to one loop), caught here in debug builds.
class QueueEntryPool::Inside {
public:
#ifdef NDEBUG
    explicit Inside(QueueEntryPool&) {}
#else
    explicit Inside(QueueEntryPool& pool) : pool_(pool) {
        const bool wasBusy = pool_.busy_.exchange(true, std::memory_order_acquire);
        assert(!wasBusy && "queue entries used by two threads at once");
        (void)wasBusy;
    }
    ~Inside() { pool_.busy_.store(false, std::memory_order_release); }

private:
    QueueEntryPool& pool_;
#endif
};

QueueEntryPool::~QueueEntryPool() {
    // Only a test's own pool is destroyed; its entries are gone by then.
    while (partial_ != nullptr) {
        Slab* slab = partial_;
        Unlink(slab);
        ASAN_UNPOISON_MEMORY_REGION(slab, SLAB_BYTES);
        UnmapSlab(slab, SLAB_BYTES);
    }
    if (spare_ != nullptr) UnmapSlab(spare_, SLAB_BYTES);
}

QueueEntryPool& QueueEntryPool::Instance() {
    static QueueEntryPool* const pool = new QueueEntryPool;
    return *pool;
}

QueueEntryPool::Slab* QueueEntryPool::NewSlab() {
    void* memory = MapSlab(SLAB_BYTES);
    if (memory == MAP_FAILED) return nullptr;
    Slab* slab = new (memory) Slab();
    ++slabs_;
    return slab;
}

void QueueEntryPool::Unlink(Slab* slab) {
    if (slab->prev != nullptr) slab->prev->next = slab->next;
    if (slab->next != nullptr) slab->next->prev = slab->prev;
    if (partial_ == slab) partial_ = slab->next;
    slab->prev = slab->next = nullptr;
    slab->listed = false;
}

void QueueEntryPool::PushPartial(Slab* slab) {
    slab->prev = nullptr;
    slab->next = partial_;
    if (partial_ != nullptr) partial_->prev = slab;
    partial_ = slab;
    slab->listed = true;
}

void* QueueEntryPool::malloc(size_t bytes) {
    if (bytes > ENTRY_BYTES) return nullptr;
    const size_t first = FirstCellOffset(sizeof(Slab));
    const size_t capacity = (SLAB_BYTES - first) / CELL;
    const Inside inside(*this);
    if (partial_ == nullptr) {
        Slab* slab = spare_ != nullptr ? spare_ : NewSlab();
        spare_ = nullptr;
        if (slab == nullptr) return nullptr;
        PushPartial(slab);
    }
    Slab* const slab = partial_;
    char* cell = slab->freeList;
    if (cell != nullptr) {
        ASAN_UNPOISON_MEMORY_REGION(cell, CELL);
        std::memcpy(&slab->freeList, cell, sizeof(char*));
    } else {
        cell = reinterpret_cast<char*>(slab) + first + slab->carved * CELL;
        ++slab->carved;
    }
    ++slab->used;
    ++entries_;
    if (slab->freeList == nullptr && slab->carved == capacity) Unlink(slab);
    Slab* owner = slab;
    std::memcpy(cell, &owner, sizeof owner);  // NOLINT(bugprone-sizeof-expression): the pointer is stored
    ASAN_POISON_MEMORY_REGION(cell, HEADER);
    return cell + HEADER;
}

void* QueueEntryPool::calloc(size_t bytes, char initialValue) {
    void* entry = malloc(bytes);
    if (entry != nullptr) std::memset(entry, initialValue, bytes);
    return entry;
}

void* QueueEntryPool::calloc(size_t count, size_t bytes, char initialValue) {
    return count != 0 && bytes > ENTRY_BYTES / count ? nullptr : calloc(count * bytes, initialValue);
}

void QueueEntryPool::free(void* entry) {
    if (Slab* const empty = Release(entry)) {
        ASAN_UNPOISON_MEMORY_REGION(empty, SLAB_BYTES);  // the range may be mapped again for anything
        UnmapSlab(empty, SLAB_BYTES);
    }
}

// Gives the entry's cell back; answers its slab when that is now empty and to be unmapped.
QueueEntryPool::Slab* QueueEntryPool::Release(void* entry) {
    if (entry == nullptr) return nullptr;
    char* const cell = static_cast<char*>(entry) - HEADER;
    ASAN_UNPOISON_MEMORY_REGION(cell, HEADER);
    Slab* slab = nullptr;
    std::memcpy(&slab, cell, sizeof slab);  // NOLINT(bugprone-sizeof-expression): the pointer is stored
    const Inside inside(*this);
    std::memcpy(cell, &slab->freeList, sizeof(char*));
    slab->freeList = cell;
    ASAN_POISON_MEMORY_REGION(cell, CELL);
    --entries_;
    if (--slab->used != 0) {
        if (!slab->listed) PushPartial(slab);
        return nullptr;
    }
    if (slab->listed) Unlink(slab);
    if (spare_ == nullptr) {
        // Start the spare afresh, so its cells are carved again in order.
        ASAN_UNPOISON_MEMORY_REGION(slab, SLAB_BYTES);
        spare_ = new (slab) Slab();
        return nullptr;
    }
    --slabs_;
    return slab;
}

size_t QueueEntryPool::Entries() {
    const Inside inside(*this);
    return entries_;
}

size_t QueueEntryPool::Slabs() {
    const Inside inside(*this);
    return slabs_;
}
