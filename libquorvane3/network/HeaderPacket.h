// Shared body of the three 6-byte packets: an own copy of the header, wiped to zeros
// when the datagram is shorter than its length field says.
#ifndef QUORVANE_NETWORK_HEADERPACKET_H
#define QUORVANE_NETWORK_HEADERPACKET_H

#include "network/Packet.h"

namespace quorvane {

class HeaderPacket : public Packet {
public:
    const char* GetPacket() const override { return header_; }
    uint16_t GetPacketSize() const override { return ReadUInt16LE(header_ + 2); }
    uint8_t GetPacketType() const { return static_cast<uint8_t>(header_[0]); }
    uint8_t GetProtocol() const { return static_cast<uint8_t>(header_[1]); }
    int GetUserID() const { return ReadUInt16LE(header_ + 4); }
    // Whether the datagram held the header and every byte its length field claims.
    bool IsValid() const { return valid_; }

protected:
    HeaderPacket();
    HeaderPacket(const char* data, int length);

    char header_[PACKET_HEADER_SIZE];
    bool valid_ = false;
};

}  // namespace quorvane

#endif
