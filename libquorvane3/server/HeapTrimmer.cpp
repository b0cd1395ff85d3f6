#include "server/HeapTrimmer.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "network/StreamHandler.h"

namespace quorvane {
namespace server {

namespace {

const size_t TRIM_STEP = 16 << 20;
// free() trims the top of a heap once it passes this: never, in practice. (Setting it
// also keeps the allocator from raising its mmap threshold as large blocks come and go.)
const int FREE_TRIMS_ABOVE = 1 << 30;

// Resident set size in bytes from /proc: a read of one short line.
size_t ResidentBytes() {
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == 0) return 0;
    unsigned long long size = 0, resident = 0;
    const bool read = std::fscanf(statm, "%llu %llu", &size, &resident) == 2;
    std::fclose(statm);
    return read ? static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace

// Made with the node, before its loops start.
HeapTrimmer::HeapTrimmer() { mallopt(M_TRIM_THRESHOLD, FREE_TRIMS_ABOVE); }  // NOLINT(concurrency-mt-unsafe)

HeapTrimmer::~HeapTrimmer() {
    Ask(STOP);
    if (thread_.joinable()) thread_.join();
}

void HeapTrimmer::Check(size_t users) {
    const long long DRAINED = 1 << 20;
    const size_t USERS_STEP = 1000;  // a few MiB of connections, users and their buffers
    const long long queued = StreamHandler::QueuedBytesOfAll();
    peakQueued_ = std::max(peakQueued_, queued);
    mostUsers_ = std::max(mostUsers_, users);
    if (queued > DRAINED) return;
    const bool storm = peakQueued_ >= static_cast<long long>(TRIM_STEP) || mostUsers_ >= users + USERS_STEP;
    if (storm) {
        peakQueued_ = 0;
        mostUsers_ = users;
    }
    Ask(storm ? NOW : IF_GROWN);
}

// A request waiting is not lowered: a storm's trim is not turned into a check of growth.
void HeapTrimmer::Ask(Request request) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (request == STOP && !thread_.joinable()) return;
        if (request > request_) request_ = request;
        if (!thread_.joinable()) thread_ = std::thread(&HeapTrimmer::Run, this);
    }
    asked_.notify_one();
}

void HeapTrimmer::Run() {
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> guard(lock_);
            asked_.wait(guard, [this] { return request_ != NONE; });
            request = request_;
            if (request != STOP) request_ = NONE;
        }
        if (request == STOP) return;
        if (request == IF_GROWN && ResidentBytes() < residentAfterTrim_ + TRIM_STEP) continue;
        malloc_trim(0);
        residentAfterTrim_ = ResidentBytes();
    }
}

}  // namespace server
}  // namespace quorvane
