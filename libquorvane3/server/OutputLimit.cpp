#include "server/OutputLimit.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <ace/Reactor.h>

#include "network/ReactorThread.h"
#include "network/StreamHandler.h"
#include "server/ListingLine.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

OutputLimit::~OutputLimit() {
    if (passPending_ && loop_) loop_->purge_pending_notifications(this);
}

void OutputLimit::SetLimit(int64_t bytes) {
    ReactorThread::AssertLoopThread(loop_);
    limit_ = bytes;
}

int64_t OutputLimit::Total() {
    return StreamHandler::QueuedMemoryOfAll() + StreamHandler::SourceBytesOfAll() + ListingLine::RetainedBytesOfAll();
}

void OutputLimit::Queued() {
    ReactorThread::AssertLoopThread(loop_);
    if (limit_ <= 0 || passPending_ || Total() <= limit_) return;
    // A walker over users may be sending: the pass closes them on a later turn.
    passPending_ = loop_ && loop_->notify(this, ACE_Event_Handler::EXCEPT_MASK) != -1;
    if (!passPending_) Trim();
}

int OutputLimit::handle_exception(ACE_HANDLE) {
    passPending_ = false;
    Trim();
    return 0;
}

// Connections already closing are not counted: what they hold goes with their close.
void OutputLimit::Trim() {
    if (limit_ <= 0) return;
    std::vector<std::pair<int64_t, serveruser_t>> holders;
    int64_t total = ListingLine::RetainedBytesOfAll();
    for (ServerUser* const user : users_.EveryUser()) {
        StreamHandler* const handler = user->IsLagging() ? nullptr : user->FindStreamHandler();
        if (!handler) continue;
        const int64_t held = static_cast<int64_t>(handler->QueuedMemory() + handler->SourceBytes());
        total += held;
        if (held > 0) holders.emplace_back(held, user->shared_from_this());
    }
    std::sort(holders.begin(), holders.end(),
              [](const std::pair<int64_t, serveruser_t>& a, const std::pair<int64_t, serveruser_t>& b) {
                  return a.first > b.first;
              });
    for (size_t i = 0; i < holders.size() && total > limit_; ++i) {
        total -= holders[i].first;
        holders[i].second->CloseAsLagging();
    }
}

}  // namespace server
}  // namespace quorvane
