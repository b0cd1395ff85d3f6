#ifndef QUORVANE_NETWORK_HELLOPACKET_H
#define QUORVANE_NETWORK_HELLOPACKET_H

#include "network/HeaderPacket.h"

namespace quorvane {

class HelloPacket : public HeaderPacket {
public:
    HelloPacket(const char* data, int length) : HeaderPacket(data, length) {}
};

}  // namespace quorvane

#endif
