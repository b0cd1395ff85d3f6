// The listener the service host gives the server node. It will carry the event log and
// the persistence callbacks; for now it only keeps the settings document it saves to.
#ifndef QUORVANE_LISTENERS_SERVERLISTENER_H
#define QUORVANE_LISTENERS_SERVERLISTENER_H

#include "server/ServerNodeListener.h"

namespace quorvane {

class QuorvaneSettings;

namespace server {

class ServerListener : public ServerNodeListener {
public:
    explicit ServerListener(QuorvaneSettings& settings) : settings_(settings) {}

private:
    QuorvaneSettings& settings_;
};

}  // namespace server
}  // namespace quorvane

#endif
