#include "ServiceTicker.h"

#include <algorithm>

#include <ace/Reactor.h>

#include "ServiceManager.h"
#include "ServiceStatus.h"
#include "StartReport.h"
#include "server/ServerNode.h"

ServiceTicker::ServiceTicker(ACE_Reactor* reactor, ServiceStatus& status, quorvane::server::ServerNode& node,
                             int tcpPort, int udpPort)
    : ACE_Event_Handler(reactor),
      status_(status),
      node_(node),
      tcpPort_(tcpPort),
      udpPort_(udpPort),
      watchdog_(false),
      timerId_(-1) {}

ServiceTicker::~ServiceTicker() {
    if (timerId_ != -1) reactor()->cancel_timer(timerId_, nullptr, 0);
}

bool ServiceTicker::Start() {
    Refresh();
    const uint64_t watchdogUsec = ServiceManager::WatchdogPeriodUsec();
    watchdog_ = watchdogUsec > 0;
    uint64_t periodUsec = static_cast<uint64_t>(STATUS_PERIOD_MS) * 1000;
    if (watchdog_) periodUsec = std::min(periodUsec, std::max<uint64_t>(watchdogUsec / 2, 1000));
    const ACE_Time_Value period(static_cast<time_t>(periodUsec / 1000000),
                                static_cast<suseconds_t>(periodUsec % 1000000));
    timerId_ = reactor()->schedule_timer(this, nullptr, period, period);
    return timerId_ != -1;
}

void ServiceTicker::SetNote(const std::string& note) {
    note_ = note;
    Refresh();
}

void ServiceTicker::Refresh() {
    const std::string status = RunningStatus(tcpPort_, udpPort_, node_.Users().GetUsersOnline());
    status_.SetRunning(note_.empty() ? status : status + "; " + note_);
}

int ServiceTicker::handle_timeout(const ACE_Time_Value&, const void*) {
    // Fed only from here: a main loop that hangs no longer runs this timer. A report or a
    // WATCHDOG=1 that a full notification socket could not take goes now.
    std::string ignored;
    if (watchdog_) ServiceManager::FeedWatchdog();
    else ServiceManager::SendReports(ignored);
    Refresh();
    return 0;
}
