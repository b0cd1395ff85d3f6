#include "network/AcknowledgePacket.h"

namespace quorvane {

AcknowledgePacket::AcknowledgePacket(int userId) {
    header_[0] = static_cast<char>(PACKET_ACKNOWLEDGE);
    header_[1] = static_cast<char>(SERVER_PACKET_PROTOCOL);
    WriteUInt16LE(header_ + 2, PACKET_HEADER_SIZE);
    WriteUInt16LE(header_ + 4, static_cast<uint16_t>(userId));
}

}  // namespace quorvane
