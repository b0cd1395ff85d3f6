// The receivers of one channel's voice: an immutable member list that the main loop's
// thread replaces on every join and leave, and the voice thread reads without a lock.
#ifndef QUORVANE_SERVER_VOICECHANNEL_H
#define QUORVANE_SERVER_VOICECHANNEL_H

#include <memory>
#include <vector>

#include "network/PublishedPointer.h"
#include "server/VoiceEndpoint.h"

namespace quorvane {
namespace server {

class VoiceChannel {
public:
    typedef std::vector<voiceendpoint_t> members_t;

    VoiceChannel();

    // Voice thread, inside a SnapshotReclaimer batch: the list as published last (never
    // null); it never changes afterwards and stays valid until the batch ends. Also the
    // main loop's thread.
    const members_t& GetMembers() const { return *members_.Get(); }

    // Main loop's thread only (one writer): each publishes a new list.
    void Add(const voiceendpoint_t& member);
    void Remove(int userId);
    void Clear();

private:
    PublishedPointer<const members_t> members_;
};

}  // namespace server
}  // namespace quorvane

#endif
