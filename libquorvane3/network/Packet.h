// Voice packets: one per UDP datagram, all multi-byte fields little-endian.
// Header: type(1) protocol(1) length(2) userid(2); audio adds destination(2) and data.
#ifndef QUORVANE_NETWORK_PACKET_H
#define QUORVANE_NETWORK_PACKET_H

#include <cstdint>

namespace quorvane {

enum PacketType {
    PACKET_HELLO = 1,
    PACKET_ACKNOWLEDGE = 2,
    PACKET_KEEPALIVE = 3,
    PACKET_AUDIO_RELAYED = 4,
    PACKET_AUDIO = 5,
    PACKET_KEEPALIVE_ANSWER = 6,
    PACKET_CRYPTAUDIO_RELAYED = 7,
    PACKET_CRYPTAUDIO = 8,
};

enum {
    PACKET_HEADER_SIZE = 6,
    AUDIO_HEADER_SIZE = 8,
    SERVER_PACKET_PROTOCOL = 5,
};

// Little-endian 16-bit field access, independent of the host's byte order.
inline uint16_t ReadUInt16LE(const char* p) {
    return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8));
}
inline void WriteUInt16LE(char* p, uint16_t value) {
    p[0] = static_cast<char>(value & 0xff);
    p[1] = static_cast<char>(value >> 8);
}

class Packet {
public:
    virtual ~Packet() = default;
    virtual const char* GetPacket() const = 0;
    virtual uint16_t GetPacketSize() const = 0;  // the length field
};

}  // namespace quorvane

#endif
