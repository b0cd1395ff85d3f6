// ServerNode: the keep-alive timer, the inactivity check and the statistics.
#include <malloc.h>

#include <algorithm>

#include <ace/Guard_T.h>
#include <ace/OS_NS_sys_time.h>

#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

void ServerNode::OnTimerExpired(int timerId) {
    {
        NodeGuard guard(lock_);
        if (timerId == KEEPALIVE_TIMER_ID) CheckInactivity();
        if (timerId == LOGIN_TIMER_ID) CheckLoginTimeouts();
    }
    if (timerId == LOGIN_TIMER_ID) ReturnFreedHeap();
}

// After a storm of connections or broadcasts has drained, the freed heap would stay with
// the process. Checked every second, so memory comes back soon after the queues empty;
// trimmed only when the free heap has grown by TRIM_STEP since the last trim, because a
// trim walks every free chunk. Main thread only.
void ServerNode::ReturnFreedHeap() {
    const size_t TRIM_STEP = 16 << 20;
    const size_t free = mallinfo2().fordblks;
    if (free < freeHeapAfterTrim_ + TRIM_STEP) {
        freeHeapAfterTrim_ = std::min(freeHeapAfterTrim_, free);
        return;
    }
    malloc_trim(0);
    freeHeapAfterTrim_ = mallinfo2().fordblks;
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
