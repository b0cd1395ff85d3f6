// Gives the heap that a storm of connections or broadcasts freed back to the system once
// the output queues have drained, and only then: a trim walks every free chunk, which
// during a storm would keep the loop from its clients over and over (and the allocator's
// statistics walk the same chunks, so they are not asked either).
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_HEAPTRIMMER_H
#define QUORVANE_SERVER_HEAPTRIMMER_H

#include <cstddef>

namespace quorvane {
namespace server {

class HeapTrimmer {
public:
    // Called every second with the number of connected users: trims once the queues
    // have drained after a storm (many bytes queued, or many users gone) or after the
    // process grew by TRIM_STEP since the last trim.
    void Check(size_t users);

private:
    size_t residentAfterTrim_ = 0;
    long long peakQueued_ = 0;
    size_t mostUsers_ = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
