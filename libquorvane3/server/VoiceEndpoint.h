// What the voice thread needs to know of one connected user, shared between the user
// (main loop's thread) and the voice routes. Every field is constant, atomic or published,
// so the voice thread reads and updates it without any lock of the control plane.
#ifndef QUORVANE_SERVER_VOICEENDPOINT_H
#define QUORVANE_SERVER_VOICEENDPOINT_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "network/PublishedPointer.h"

namespace quorvane {
namespace server {

class VoiceChannel;

class VoiceEndpoint {
public:
    // tcpAddress: the IPv4 address (host order) of the user's command connection; voice
    // naming this user is taken only from there. 0 when unknown.
    VoiceEndpoint(int userId, uint32_t tcpAddress);

    int GetUserID() const { return userId_; }
    uint32_t GetTcpAddress() const { return tcpAddress_; }

    // The voice address, set by a hello, a keep-alive or audio from a new port, and the
    // server's address the user sends to (host order; 0 when the socket is bound to one
    // address), from which its voice leaves. Any thread.
    void SetAddress(uint32_t address, uint16_t port, uint32_t localAddress = 0);
    // False (and nothing written) before the first hello.
    bool GetAddress(sockaddr_in& out) const;
    uint32_t GetLocalAddress() const { return localAddress_.load(std::memory_order_relaxed); }
    bool HasAddress() const;
    void ClearAddress();
    // The address and port as one value, to tell whether they changed. Any thread.
    uint64_t GetAddressKey() const { return address_.load(std::memory_order_relaxed); }

    // Any thread.
    void SetLoggedIn(bool value) { loggedIn_.store(value, std::memory_order_release); }
    bool IsLoggedIn() const { return loggedIn_.load(std::memory_order_acquire); }
    void SetPacketProtocol(int value) { packetProtocol_.store(value, std::memory_order_relaxed); }
    int GetPacketProtocol() const { return packetProtocol_.load(std::memory_order_relaxed); }

    // The channel whose members hear this user: set on the main loop's thread; read on
    // the voice thread inside a SnapshotReclaimer batch (null when in none).
    void SetChannel(const std::shared_ptr<VoiceChannel>& channel) { channel_.Set(channel); }
    VoiceChannel* GetChannel() const { return channel_.Get(); }

private:
    const int userId_;
    const uint32_t tcpAddress_;
    std::atomic<uint64_t> address_;  // 1 << 48 | address << 16 | port; 0 when unset
    std::atomic<uint32_t> localAddress_;
    std::atomic<bool> loggedIn_;
    std::atomic<int> packetProtocol_;
    PublishedPointer<VoiceChannel> channel_;
};

typedef std::shared_ptr<VoiceEndpoint> voiceendpoint_t;

}  // namespace server
}  // namespace quorvane

#endif
