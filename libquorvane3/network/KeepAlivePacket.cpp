#include "network/KeepAlivePacket.h"

namespace quorvane {

void KeepAlivePacket::SetAnswerForm(bool answer) {
    header_[0] = static_cast<char>(answer ? PACKET_KEEPALIVE_ANSWER : PACKET_KEEPALIVE);
}

void KeepAlivePacket::SetProtocol(uint8_t protocol) { header_[1] = static_cast<char>(protocol); }

void KeepAlivePacket::SetUserID(int userId) { WriteUInt16LE(header_ + 4, static_cast<uint16_t>(userId)); }

}  // namespace quorvane
