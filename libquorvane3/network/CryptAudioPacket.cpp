#include "network/CryptAudioPacket.h"

namespace quorvane {

CryptAudioPacket::CryptAudioPacket(char* data, int length, uint8_t flag)
    : AudioPacket(data, length, PACKET_CRYPTAUDIO_RELAYED, PACKET_CRYPTAUDIO), flag_(flag) {}

}  // namespace quorvane
