#ifndef QUORVANE_NETWORK_ACKNOWLEDGEPACKET_H
#define QUORVANE_NETWORK_ACKNOWLEDGEPACKET_H

#include "network/HeaderPacket.h"

namespace quorvane {

// The answer to a hello: 2, 5, 6, 0, then the user id (the server always sends 0).
class AcknowledgePacket : public HeaderPacket {
public:
    explicit AcknowledgePacket(int userId);
};

}  // namespace quorvane

#endif
