#include "server/VoiceRoutes.h"

namespace quorvane {
namespace server {

VoiceRoutes::VoiceRoutes(int maxUserId) : slots_(static_cast<size_t>(maxUserId) + 1) {}

voiceendpoint_t VoiceRoutes::Find(int userId) const {
    if (userId <= 0 || static_cast<size_t>(userId) >= slots_.size()) return voiceendpoint_t();
    return std::atomic_load(&slots_[static_cast<size_t>(userId)]);
}

void VoiceRoutes::Set(int userId, const voiceendpoint_t& endpoint) {
    if (userId <= 0 || static_cast<size_t>(userId) >= slots_.size()) return;
    std::atomic_store(&slots_[static_cast<size_t>(userId)], endpoint);
}

}  // namespace server
}  // namespace quorvane
