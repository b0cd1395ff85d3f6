// ServerNode: the keep-alive timer, the inactivity check and the statistics.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_time.h>

#include "network/StreamHandler.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

void ServerNode::OnTimerExpired(int timerId) {
    size_t users = 0;
    {
        NodeGuard guard(lock_);
        if (timerId == KEEPALIVE_TIMER_ID) CheckInactivity();
        if (timerId == LOGIN_TIMER_ID) CheckLoginTimeouts();
        users = users_.size();
    }
    if (timerId == LOGIN_TIMER_ID) ReturnFreedHeap(users);
}

namespace {

// Resident set size in bytes from /proc: a read of one short line, unlike the allocator's
// own statistics, which walk (and first merge) every free chunk of a large heap.
size_t ResidentBytes() {
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == 0) return 0;
    unsigned long long size = 0, resident = 0;
    const bool read = std::fscanf(statm, "%llu %llu", &size, &resident) == 2;
    std::fclose(statm);
    return read ? static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace

// After a storm of connections or broadcasts has drained, the freed heap would stay with
// the process. Checked every second; trimmed once the output queues have drained after
// a storm (many bytes queued, or many users gone) or after the process grew by TRIM_STEP.
// Only then: a trim walks every free chunk, which during a storm would take the loop
// away from its clients for a long time, over and over; and the allocator's statistics
// walk the same chunks, so they are not asked either. Main thread only.
void ServerNode::ReturnFreedHeap(size_t users) {
    const size_t TRIM_STEP = 16 << 20;
    const long long DRAINED = 1 << 20;
    const size_t USERS_STEP = 1000;  // a few MiB of connections, users and their buffers
    const long long queued = StreamHandler::QueuedBytesOfAll();
    heapWatch_.peakQueued = std::max(heapWatch_.peakQueued, queued);
    heapWatch_.mostUsers = std::max(heapWatch_.mostUsers, users);
    if (queued > DRAINED) return;
    const size_t resident = ResidentBytes();
    const bool storm = heapWatch_.peakQueued >= static_cast<long long>(TRIM_STEP) ||
                       heapWatch_.mostUsers >= users + USERS_STEP;
    if (!storm && resident < heapWatch_.residentAfterTrim + TRIM_STEP) return;
    malloc_trim(0);
    heapWatch_.residentAfterTrim = ResidentBytes();
    heapWatch_.peakQueued = 0;
    heapWatch_.mostUsers = users;
}

void ServerNode::CheckInactivity() {
    NodeGuard guard(lock_);
    std::vector<serveruser_t> drop;
    for (users_t::const_iterator it = users_.begin(); it != users_.end(); ++it) {
        const serveruser_t& user = it->second;
        // A running file transfer keeps its user, but the counter goes on.
        if (user->GetInactiveSeconds() < INACTIVITY_LIMIT_SECONDS || user->IsFileTransferActive())
            user->SetInactiveSeconds(user->GetInactiveSeconds() + INACTIVITY_STEP_SECONDS);
        else
            drop.push_back(user);
    }
    for (size_t i = 0; i < drop.size(); ++i) {
        if (listener_) listener_->OnUserDropped(drop[i]);
        drop[i]->Disconnect();
    }
}

ACE_Time_Value ServerNode::GetUptime() const { return ACE_OS::gettimeofday() - startTime_; }

int ServerNode::GetUsersServed() { return ReadLocked(usersServed_); }
int ServerNode::GetUsersPeak() { return ReadLocked(usersPeak_); }
uint64_t ServerNode::GetVoiceTxBytes() { return voiceBytesSent_.load(std::memory_order_relaxed); }
uint64_t ServerNode::GetVoiceRxBytes() { return voiceBytesReceived_.load(std::memory_order_relaxed); }

void ServerNode::GetActiveTransfers(int& transfers, int& uploads, int& downloads) {
    NodeGuard guard(lock_);
    uploads = downloads = 0;
    for (users_t::const_iterator it = users_.begin(); it != users_.end(); ++it) {
        const serveruser_t& user = it->second;
        if (!user->IsFileTransferActive()) continue;
        const transfers_t::const_iterator transfer = transfers_.find(user->GetTransferID());
        if (transfer == transfers_.end()) continue;
        if (transfer->second.upload) ++uploads;
        else ++downloads;
    }
    transfers = uploads + downloads;
}

int ServerNode::GetUsersOnline() {
    NodeGuard guard(lock_);
    int online = 0;
    for (users_t::const_iterator it = users_.begin(); it != users_.end(); ++it)
        if (it->second->IsLoggedIn()) ++online;
    return online;
}

}  // namespace server
}  // namespace quorvane
