// An audio datagram read in place: the packet keeps a pointer to the received bytes,
// which the caller owns and which it patches in place. Invalid packets (datagram shorter
// than the length field, or shorter than the audio header) drop the pointer and read as 0.
#ifndef QUORVANE_NETWORK_AUDIOPACKET_H
#define QUORVANE_NETWORK_AUDIOPACKET_H

#include "network/Packet.h"

namespace quorvane {

class AudioPacket : public Packet {
public:
    AudioPacket(char* data, int length);
    ~AudioPacket() override = default;

    AudioPacket(const AudioPacket&) = delete;
    AudioPacket& operator=(const AudioPacket&) = delete;

    const char* GetPacket() const override { return data_; }
    uint16_t GetPacketSize() const override;
    bool IsValid() const { return data_ != nullptr; }
    int GetUserID() const;
    int GetDestUserID() const;
    // 4 or 5; other values are ignored. Nothing happens on an invalid packet.
    virtual void SetPacketType(uint8_t type);

protected:
    AudioPacket(char* data, int length, uint8_t relayedType, uint8_t clientType);
    void WriteType(uint8_t type);

    char* data_;
    uint8_t relayedType_;
    uint8_t clientType_;
};

}  // namespace quorvane

#endif
