#ifndef QUORVANE_NETWORK_KEEPALIVEPACKET_H
#define QUORVANE_NETWORK_KEEPALIVEPACKET_H

#include "network/HeaderPacket.h"

namespace quorvane {

class KeepAlivePacket : public HeaderPacket {
public:
    KeepAlivePacket(const char* data, int length) : HeaderPacket(data, length) {}

    // 6 = answer form, 3 = client form. None of the setters touches the length field.
    void SetAnswerForm(bool answer);
    void SetProtocol(uint8_t protocol);
    void SetUserID(int userId);
};

}  // namespace quorvane

#endif
