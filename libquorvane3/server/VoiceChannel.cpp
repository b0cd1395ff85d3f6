#include "server/VoiceChannel.h"

#include <algorithm>

namespace quorvane {
namespace server {

VoiceChannel::VoiceChannel() : members_(std::make_shared<const members_t>()) {}

// Kept in ascending id order, as the channel's own members are.
void VoiceChannel::Add(const voiceendpoint_t& member) {
    if (!member) return;
    std::shared_ptr<members_t> next = std::make_shared<members_t>(GetMembers());
    auto at = std::lower_bound(next->begin(), next->end(), member->GetUserID(),
                               [](const voiceendpoint_t& m, int id) { return m->GetUserID() < id; });
    if (at != next->end() && (*at)->GetUserID() == member->GetUserID()) *at = member;
    else next->insert(at, member);
    members_.Set(std::move(next));
}

void VoiceChannel::Remove(int userId) {
    const members_t& current = GetMembers();
    std::shared_ptr<members_t> next = std::make_shared<members_t>();
    next->reserve(current.size());
    for (const voiceendpoint_t& member : current)
        if (member->GetUserID() != userId) next->push_back(member);
    if (next->size() != current.size()) members_.Set(std::move(next));
}

void VoiceChannel::Clear() {
    if (!GetMembers().empty()) members_.Set(std::make_shared<const members_t>());
}

}  // namespace server
}  // namespace quorvane
