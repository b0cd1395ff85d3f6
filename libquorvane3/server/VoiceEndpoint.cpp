#include "server/VoiceEndpoint.h"

#include <cstring>

#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

namespace {

const uint64_t ADDRESS_SET = uint64_t(1) << 48;
const uint64_t ADDRESS_V6 = uint64_t(1) << 49;  // the command connection's IPv6 address

}  // namespace

VoiceEndpoint::VoiceEndpoint(int userId, const IpAddress& tcpAddress, uint32_t tcpScope)
    : userId_(userId),
      tcpAddress_(tcpAddress),
      tcpScope_(tcpScope),
      address_(0),
      local_{},
      loggedIn_(false),
      packetProtocol_(0) {}

bool VoiceEndpoint::SetAddress(const IpAddress& address, uint16_t port, const LocalAddress& local) {
    uint64_t word = ADDRESS_SET | port;
    if (address.IsV4()) word |= uint64_t(address.V4()) << 16;
    else if (address == tcpAddress_) word |= ADDRESS_V6;
    else return false;
    uint32_t words[4];
    std::memcpy(words, local.address.Bytes(), sizeof words);
    for (int i = 0; i < 4; ++i) local_[i].store(words[i], std::memory_order_relaxed);
    local_[4].store(local.interface, std::memory_order_relaxed);
    address_.store(word, std::memory_order_release);
    return true;
}

bool VoiceEndpoint::GetAddress(IpAddress& address, uint16_t& port) const {
    const uint64_t packed = address_.load(std::memory_order_acquire);
    if (packed == 0) return false;
    address = (packed & ADDRESS_V6) != 0 ? tcpAddress_ : IpAddress::FromV4(static_cast<uint32_t>(packed >> 16));
    port = static_cast<uint16_t>(packed & 0xffff);
    return true;
}

bool VoiceEndpoint::GetAddress(int family, SocketAddress& out) const {
    IpAddress address;
    uint16_t port = 0;
    return GetAddress(address, port) && out.Set(family, address, port, tcpScope_);
}

bool VoiceEndpoint::IsBoundTo(uint16_t port, const LocalAddress& local) const {
    const uint64_t packed = address_.load(std::memory_order_acquire);
    return packed != 0 && static_cast<uint16_t>(packed & 0xffff) == port && GetLocalAddress() == local;
}

LocalAddress VoiceEndpoint::GetLocalAddress() const {
    uint32_t words[4];
    for (int i = 0; i < 4; ++i) words[i] = local_[i].load(std::memory_order_relaxed);
    in6_addr bytes;
    std::memcpy(bytes.s6_addr, words, sizeof words);
    LocalAddress local;
    local.address = IpAddress::FromV6(bytes);
    local.interface = local_[4].load(std::memory_order_relaxed);
    return local;
}

bool VoiceEndpoint::HasAddress() const { return address_.load(std::memory_order_acquire) != 0; }

void VoiceEndpoint::ClearAddress() { address_.store(0, std::memory_order_release); }

}  // namespace server
}  // namespace quorvane
