#include "server/VoiceEndpoint.h"

#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

namespace {

const uint64_t ADDRESS_SET = uint64_t(1) << 48;

}  // namespace

VoiceEndpoint::VoiceEndpoint(int userId, uint32_t tcpAddress)
    : userId_(userId), tcpAddress_(tcpAddress), address_(0), localAddress_(0), loggedIn_(false), packetProtocol_(0) {}

void VoiceEndpoint::SetAddress(uint32_t address, uint16_t port, uint32_t localAddress) {
    localAddress_.store(localAddress, std::memory_order_relaxed);
    address_.store(ADDRESS_SET | uint64_t(address) << 16 | port, std::memory_order_release);
}

bool VoiceEndpoint::GetAddress(sockaddr_in& out) const {
    const uint64_t packed = address_.load(std::memory_order_acquire);
    if (packed == 0) return false;
    out = sockaddr_in();
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(packed & 0xffff));
    out.sin_addr.s_addr = htonl(static_cast<uint32_t>(packed >> 16));
    return true;
}

bool VoiceEndpoint::HasAddress() const { return address_.load(std::memory_order_acquire) != 0; }

void VoiceEndpoint::ClearAddress() { address_.store(0, std::memory_order_release); }

}  // namespace server
}  // namespace quorvane
