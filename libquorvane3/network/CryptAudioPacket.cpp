#include "network/CryptAudioPacket.h"

namespace quorvane {

CryptAudioPacket::CryptAudioPacket(char* data, int length)
    : AudioPacket(data, length, PACKET_CRYPTAUDIO_RELAYED, PACKET_CRYPTAUDIO) {}

}  // namespace quorvane
