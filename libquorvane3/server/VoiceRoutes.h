// User id to voice endpoint, for the voice thread: one slot per possible id, each read
// with an atomic load, so the voice path never waits for the control plane.
#ifndef QUORVANE_SERVER_VOICEROUTES_H
#define QUORVANE_SERVER_VOICEROUTES_H

#include <memory>
#include <vector>

#include "server/VoiceEndpoint.h"

namespace quorvane {
namespace server {

class VoiceRoutes {
public:
    explicit VoiceRoutes(int maxUserId);

    // Any thread; empty for an id out of range or not connected.
    voiceendpoint_t Find(int userId) const;
    // Main loop's thread: a user connects (endpoint) or goes (null).
    void Set(int userId, const voiceendpoint_t& endpoint);

private:
    std::vector<voiceendpoint_t> slots_;  // through std::atomic_load and atomic_store only
};

}  // namespace server
}  // namespace quorvane

#endif
