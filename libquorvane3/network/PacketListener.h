#ifndef QUORVANE_NETWORK_PACKETLISTENER_H
#define QUORVANE_NETWORK_PACKETLISTENER_H

#include <ace/INET_Addr.h>

namespace quorvane {

class PacketListener {
public:
    // Called on the packet handler's reactor thread for each datagram. The bytes are
    // valid only during the call; the callee may patch them in place.
    virtual void OnPacketReceived(char* data, int length, const ACE_INET_Addr& from) = 0;

protected:
    ~PacketListener() = default;
};

}  // namespace quorvane

#endif
