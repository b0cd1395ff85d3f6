#include "server/ListingLine.h"

namespace quorvane {
namespace server {

namespace {

std::atomic<long long> retainedBytes(0);

}  // namespace

ListingLine::~ListingLine() {
    if (retired_.load(std::memory_order_acquire)) retainedBytes -= static_cast<long long>(Size());
}

void ListingLine::Retire() const {
    if (!retired_.exchange(true, std::memory_order_acq_rel)) retainedBytes += static_cast<long long>(Size());
}

void ListingLine::Forget(std::weak_ptr<const ListingLine>& slot) {
    if (const listingline_t held = slot.lock()) held->Retire();
    slot.reset();
}

long long ListingLine::RetainedBytesOfAll() { return retainedBytes.load(std::memory_order_relaxed); }

}  // namespace server
}  // namespace quorvane
