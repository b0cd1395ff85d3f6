// The program's service body: reads the settings file beside the executable, builds
// and starts the server node, runs its two event loops and, on the stop request, shuts
// everything down in order.
//
// Threads: RunService runs on the main thread and, once the server is up, only waits
// for the stop event; StopService may come from any thread.
#ifndef QUORVANE_SERVICE_QUORVANESERVICE_H
#define QUORVANE_SERVICE_QUORVANESERVICE_H

#include <string>

#include <ace/Manual_Event.h>

#include "CNTService.h"

class ACE_Reactor;

namespace quorvane {
namespace server {
class ServerNode;
}
}  // namespace quorvane

class CQuorvaneService : public CNTService {
public:
    static const char* const SETTINGS_FILE_NAME;
    static const char* const LOG_FILE_NAME;

    // Service name and display name are both serviceName.
    explicit CQuorvaneService(const char* serviceName);

    // False when the server could not start (unreadable settings file, invalid bind
    // address, ports in use); the reason has been logged.
    bool RunService(int argc, char** argv) override;
    // Thread safe. A stop asked for before the server has started ends the service
    // right after the start.
    void StopService() override;

private:
    // Start-up from the settings file on, the run and the shutdown; the reactors exist.
    bool Serve(ACE_Reactor* voiceReactor);
    // Runs the started node's event loops until the stop event, then stops the node and
    // ends the loops. False when the loop threads could not be started.
    bool RunStartedServer(quorvane::server::ServerNode& node, ACE_Reactor* voiceReactor);
    void WaitForStop();

    // Manual reset. It lives as long as the object rather than only during RunService,
    // so that a stop requested before RunService has created it is not lost.
    ACE_Manual_Event stopEvent_;
};

#endif
