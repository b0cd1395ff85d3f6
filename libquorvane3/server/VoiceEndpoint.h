// What the voice thread needs to know of one connected user, shared between the user
// (main loop's thread) and the voice routes. Every field is constant, atomic or published,
// so the voice thread reads and updates it without any lock of the control plane.
//
// The voice address lives in one 64-bit word. Voice naming a user is taken only from the
// IP address of its command connection, so an IPv6 voice address is always that (const)
// address: the word holds its port and a mark. An IPv4 one (tests may give any) is in the
// word itself, as the word always held it.
#ifndef QUORVANE_SERVER_VOICEENDPOINT_H
#define QUORVANE_SERVER_VOICEENDPOINT_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "network/IpAddress.h"
#include "network/LocalAddress.h"
#include "network/PublishedPointer.h"
#include "network/SocketAddress.h"

namespace quorvane {
namespace server {

class VoiceChannel;

class VoiceEndpoint {
public:
    // tcpAddress: the IP address of the user's command connection (tcpScope: its interface,
    // for a link-local IPv6 address); voice naming this user is taken only from there.
    // Unspecified (::) when unknown.
    VoiceEndpoint(int userId, const IpAddress& tcpAddress, uint32_t tcpScope = 0);

    int GetUserID() const { return userId_; }
    const IpAddress& GetTcpAddress() const { return tcpAddress_; }

    // The voice address, set by a hello, a keep-alive or audio from a new port, and the
    // server's address the user sends to (none when the socket is bound to one address),
    // from which its voice leaves. False (nothing set) for an IPv6 address other than the
    // command connection's. The voice thread, or the owner before voice runs (tests).
    bool SetAddress(const IpAddress& address, uint16_t port, const LocalAddress& local = LocalAddress());
    // Any thread. False (nothing written) before the first hello.
    bool GetAddress(IpAddress& address, uint16_t& port) const;
    // The voice thread: the address for a socket of the family; false before the first
    // hello or when that socket cannot reach it.
    bool GetAddress(int family, SocketAddress& out) const;
    // Whether the voice address's port and local address are these (voice thread).
    bool IsBoundTo(uint16_t port, const LocalAddress& local) const;
    // The voice thread.
    LocalAddress GetLocalAddress() const;
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
    const IpAddress tcpAddress_;
    const uint32_t tcpScope_;
    // 1 << 48 | IPv4 address << 16 | port, or 3 << 48 | port for the command connection's
    // IPv6 address; 0 when unset.
    std::atomic<uint64_t> address_;
    // The local address as five words; written and read by the voice thread.
    std::atomic<uint32_t> local_[5];
    std::atomic<bool> loggedIn_;
    std::atomic<int> packetProtocol_;
    PublishedPointer<VoiceChannel> channel_;
};

typedef std::shared_ptr<VoiceEndpoint> voiceendpoint_t;

}  // namespace server
}  // namespace quorvane

#endif
