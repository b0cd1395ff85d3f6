#include "server/OutputPolicy.h"

#include "network/StreamHandler.h"

namespace quorvane {
namespace server {

// A connection that cannot take a line any more is closed rather than left half served.
OutputPolicy::Verdict OutputPolicy::Judge(int result) {
    if (result == StreamHandler::SEND_FULL) return LAGGING;
    if (result < 0) return NOT_QUEUED;
    bound_.Queued();
    return QUEUED;
}

}  // namespace server
}  // namespace quorvane
