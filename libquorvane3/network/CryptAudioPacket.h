#ifndef QUORVANE_NETWORK_CRYPTAUDIOPACKET_H
#define QUORVANE_NETWORK_CRYPTAUDIOPACKET_H

#include "network/AudioPacket.h"

namespace quorvane {

// Enciphered audio: the layout of AudioPacket with types 7 and 8; the server relays
// the enciphered bytes without a key.
class CryptAudioPacket : public AudioPacket {
public:
    CryptAudioPacket(char* data, int length);
};

}  // namespace quorvane

#endif
