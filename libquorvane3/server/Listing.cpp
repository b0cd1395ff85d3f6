#include "server/Listing.h"

#include <utility>

#include <ace/Message_Block.h>

namespace quorvane {
namespace server {

Listing::Listing(std::shared_ptr<const Lines> lines)
    : lines_(std::move(lines)),
      footprint_(sizeof(*this) + (lines_.use_count() == 1 ? lines_->capacity() * sizeof(listingline_t) : 0)) {}

// Each line goes as a reference to its shared block: no text is copied.
bool Listing::Produce(size_t budget, ACE_Message_Block*& first, ACE_Message_Block*& last) {
    const Lines& lines = *lines_;
    size_t bytes = 0;
    while (next_ < lines.size() && bytes < budget) {
        ACE_Message_Block* const block = lines[next_]->Line().Block().duplicate();
        if (block == 0) break;  // out of memory: the connection gets the rest or nothing
        block->next(0);
        if (last != 0) last->next(block);
        else first = block;
        last = block;
        bytes += block->length();
        ++next_;
    }
    return next_ == lines.size();
}

}  // namespace server
}  // namespace quorvane
