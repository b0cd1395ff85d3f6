#include "server/HeapTrimmer.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "network/StreamHandler.h"

namespace quorvane {
namespace server {

namespace {

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

void HeapTrimmer::Check(size_t users) {
    const size_t TRIM_STEP = 16 << 20;
    const long long DRAINED = 1 << 20;
    const size_t USERS_STEP = 1000;  // a few MiB of connections, users and their buffers
    const long long queued = StreamHandler::QueuedBytesOfAll();
    peakQueued_ = std::max(peakQueued_, queued);
    mostUsers_ = std::max(mostUsers_, users);
    if (queued > DRAINED) return;
    const size_t resident = ResidentBytes();
    const bool storm = peakQueued_ >= static_cast<long long>(TRIM_STEP) || mostUsers_ >= users + USERS_STEP;
    if (!storm && resident < residentAfterTrim_ + TRIM_STEP) return;
    malloc_trim(0);
    residentAfterTrim_ = ResidentBytes();
    peakQueued_ = 0;
    mostUsers_ = users;
}

}  // namespace server
}  // namespace quorvane
