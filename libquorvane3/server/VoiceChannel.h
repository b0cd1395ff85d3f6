// The receivers of one channel's voice: an immutable member list that the main loop's
// thread replaces on every join and leave, and the voice thread reads without a lock.
#ifndef QUORVANE_SERVER_VOICECHANNEL_H
#define QUORVANE_SERVER_VOICECHANNEL_H

#include <memory>
#include <vector>

#include "server/VoiceEndpoint.h"

namespace quorvane {
namespace server {

class VoiceChannel {
public:
    typedef std::vector<voiceendpoint_t> members_t;

    VoiceChannel();

    // Any thread: the list as published last; it never changes afterwards.
    std::shared_ptr<const members_t> GetMembers() const;

    // Main loop's thread only (one writer): each publishes a new list.
    void Add(const voiceendpoint_t& member);
    void Remove(int userId);
    void Clear();

private:
    void Publish(const std::shared_ptr<const members_t>& members);

    std::shared_ptr<const members_t> members_;  // through std::atomic_load and atomic_store only
};

}  // namespace server
}  // namespace quorvane

#endif
