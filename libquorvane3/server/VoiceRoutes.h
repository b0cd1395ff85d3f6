// User id to voice endpoint, for the voice thread: one slot per possible id, each a raw
// pointer published by the main loop, so the voice path never waits for the control plane.
#ifndef QUORVANE_SERVER_VOICEROUTES_H
#define QUORVANE_SERVER_VOICEROUTES_H

#include <vector>

#include "network/PublishedPointer.h"
#include "server/VoiceEndpoint.h"

namespace quorvane {
namespace server {

class VoiceRoutes {
public:
    explicit VoiceRoutes(int maxUserId);

    // Voice thread, inside a SnapshotReclaimer batch (valid until it ends); null for an id
    // out of range or not connected.
    VoiceEndpoint* Find(int userId) const;
    // Main loop's thread: a user connects (endpoint) or goes (null); the endpoint it had
    // is released once the voice thread cannot hold it any more.
    void Set(int userId, const voiceendpoint_t& endpoint);

private:
    std::vector<PublishedPointer<VoiceEndpoint>> slots_;
};

}  // namespace server
}  // namespace quorvane

#endif
