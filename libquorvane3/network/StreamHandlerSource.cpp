// The output that sources make as a connection drains: a marker keeps each source's place
// in the queue, and the writer asks the source at the head for its next piece.
#include <ace/Message_Block.h>

#include "network/StreamHandler.h"

int StreamHandler::SendSource(std::unique_ptr<OutputSource> source) {
    if (IsClosing()) return SEND_CLOSED;  // the source goes with the caller's pointer
    AssertLoopThread();
    if (!source) return 0;
    return Queued(queue_.AppendSource(std::move(source)));
}
