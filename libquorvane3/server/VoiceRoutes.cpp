#include "server/VoiceRoutes.h"

namespace quorvane {
namespace server {

VoiceRoutes::VoiceRoutes(int maxUserId) : slots_(static_cast<size_t>(maxUserId) + 1) {}

VoiceEndpoint* VoiceRoutes::Find(int userId) const {
    if (userId <= 0 || static_cast<size_t>(userId) >= slots_.size()) return nullptr;
    return slots_[static_cast<size_t>(userId)].Get();
}

void VoiceRoutes::Set(int userId, const voiceendpoint_t& endpoint) {
    if (userId <= 0 || static_cast<size_t>(userId) >= slots_.size()) return;
    slots_[static_cast<size_t>(userId)].Set(endpoint);
}

}  // namespace server
}  // namespace quorvane
