#include "network/AudioPacket.h"

namespace quorvane {

AudioPacket::AudioPacket(char* data, int length) : AudioPacket(data, length, PACKET_AUDIO_RELAYED, PACKET_AUDIO) {}

// Valid only when the datagram holds the audio header and every byte the length field
// claims, and the length field itself covers the audio header: a shorter packet has no
// destination and is dropped. Bytes past the length field are ignored.
AudioPacket::AudioPacket(char* data, int length, uint8_t relayedType, uint8_t clientType)
    : data_(nullptr), relayedType_(relayedType), clientType_(clientType) {
    if (data == nullptr || length < AUDIO_HEADER_SIZE) return;
    const int lengthField = ReadUInt16LE(data + 2);
    if (lengthField < AUDIO_HEADER_SIZE || length < lengthField) return;
    data_ = data;
}

uint16_t AudioPacket::GetPacketSize() const { return data_ ? ReadUInt16LE(data_ + 2) : 0; }

int AudioPacket::GetUserID() const { return data_ ? ReadUInt16LE(data_ + 4) : 0; }

int AudioPacket::GetDestUserID() const { return data_ ? ReadUInt16LE(data_ + 6) : 0; }

void AudioPacket::SetPacketType(uint8_t type) {
    if (type == relayedType_ || type == clientType_) WriteType(type);
}

void AudioPacket::WriteType(uint8_t type) {
    if (data_) data_[0] = static_cast<char>(type);
}

}  // namespace quorvane
