#include "network/HeaderPacket.h"

#include <cstring>

namespace quorvane {

HeaderPacket::HeaderPacket() { std::memset(header_, 0, sizeof(header_)); }

// Keeps a copy only when the datagram holds the whole header and at least as many bytes
// as the length field claims; anything else reads as an all-zero header, which names no
// user and so is never answered.
HeaderPacket::HeaderPacket(const char* data, int length) : HeaderPacket() {
    if (data == nullptr || length < PACKET_HEADER_SIZE) return;
    if (length < ReadUInt16LE(data + 2)) return;
    std::memcpy(header_, data, sizeof(header_));
    valid_ = true;
}

}  // namespace quorvane
