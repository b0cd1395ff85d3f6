// Gives the heap that a storm of connections or broadcasts freed back to the system once
// the output queues have drained, and only then: a trim walks every free chunk, which
// during a storm would keep the loop from its clients over and over (and the allocator's
// statistics walk the same chunks, so they are not asked either).
//
// The trim itself, and the unmapping it does, runs on a thread of its own: one madvise or
// munmap of a large freed range is a long system call, and on a kernel that does not
// preempt system calls a real-time thread of the same CPU would wait for its end. That
// thread is started from the main loop's, so it keeps to the main loop's CPUs. For the
// same reason free() is told not to trim the heap itself (M_TRIM_THRESHOLD).
//
// Threads: Check on the main loop's thread; the trimming thread is this object's own.
#ifndef QUORVANE_SERVER_HEAPTRIMMER_H
#define QUORVANE_SERVER_HEAPTRIMMER_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace quorvane {
namespace server {

class HeapTrimmer {
public:
    HeapTrimmer();
    // Stops the trimming thread.
    ~HeapTrimmer();
    HeapTrimmer(const HeapTrimmer&) = delete;
    HeapTrimmer& operator=(const HeapTrimmer&) = delete;

    // Called every second with the number of connected users: asks for a trim once the
    // queues have drained after a storm (many bytes queued, or many users gone), or to
    // see whether the process grew by TRIM_STEP since the last trim.
    void Check(size_t users);

private:
    enum Request { NONE, IF_GROWN, NOW, STOP };
    void Ask(Request request);
    void Run();

    // The main loop's.
    long long peakQueued_ = 0;
    size_t mostUsers_ = 0;
    // Shared with the trimming thread: lock_ guards what follows; the main loop's thread
    // asks, the trimming thread takes the request.
    std::mutex lock_;
    std::condition_variable asked_;
    Request request_ = NONE;
    std::thread thread_;  // started on the first request
    // The trimming thread's.
    size_t residentAfterTrim_ = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
