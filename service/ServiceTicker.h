// The main loop's own timer for systemd: it feeds systemd's watchdog (WATCHDOG=1) when
// systemd asks for one, so that a loop that hangs stops feeding it and gets the service
// restarted, and it keeps the status line ("Running: TCP 10300, UDP 10301, 3 users")
// current. Each tick also sends what a full notification socket held back.
//
// Threads: Start and the destructor on the host's thread (the destructor only once the
// loop has ended); everything else on the main loop's thread.
#ifndef QUORVANE_SERVICE_SERVICETICKER_H
#define QUORVANE_SERVICE_SERVICETICKER_H

#include <string>

#include <ace/Event_Handler.h>

class ServiceStatus;

namespace quorvane {
namespace server {
class ServerNode;
}
}  // namespace quorvane

class ServiceTicker : public ACE_Event_Handler {
public:
    enum { STATUS_PERIOD_MS = 5000 };

    ServiceTicker(ACE_Reactor* reactor, ServiceStatus& status, quorvane::server::ServerNode& node, int tcpPort,
                  int udpPort);
    ~ServiceTicker() override;

    // Sets the running status and schedules the timer: every STATUS_PERIOD_MS, or half
    // the watchdog period when that is shorter. False when it could not be scheduled.
    bool Start();
    // A remark after the status ("last reload failed: ..."); empty for none. Sends the
    // status at once.
    void SetNote(const std::string& note);

    int handle_timeout(const ACE_Time_Value& now, const void* act) override;

private:
    void Refresh();

    ServiceStatus& status_;
    quorvane::server::ServerNode& node_;
    const int tcpPort_;
    const int udpPort_;
    bool watchdog_;
    long timerId_;
    std::string note_;
};

#endif
