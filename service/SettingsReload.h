// Reading the settings file again while the server runs (SIGHUP when systemd runs it).
//
// The file is read into a document of its own and checked as at start-up; a file that
// cannot be read or is invalid changes nothing and is reported with every problem and its
// line; elements the table does not know are reported either way. A new metrics address is
// taken first: one that cannot be bound fails the reload the same way, the old listener
// still serving, and as nothing was applied the next reload tries again. Otherwise every value
// of the table that differs from what the server holds is applied through the node's
// public operations and logged (passwords only as "changed"), the values that only a
// start takes are named, the document the saves write takes the file's tree, and the
// event log is reopened, so that logrotate can move it.
//
// Which values a reload applies is SettingsTable's; how, SettingHooks'. Changes are told in
// the order of the hooks, then the values only a start takes in the table's order.
//
// Threads: Request from any thread (the signal thread); the reload itself runs on the
// main loop's thread, handed over by a notification of its reactor, because the node's
// state is confined to that thread. The object is destroyed on the host's thread once
// that loop has ended.
#ifndef QUORVANE_SERVICE_SETTINGSRELOAD_H
#define QUORVANE_SERVICE_SETTINGSRELOAD_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <ace/Event_Handler.h>

#include "HostSettings.h"

class MetricsServer;
class ReloadableSettings;

namespace quorvane {
class EventLog;
namespace server {
class ServerNode;
}
}  // namespace quorvane

class SettingsReload : public ACE_Event_Handler {
public:
    // What a reload acts on.
    struct Target {
        quorvane::server::ServerNode& node;
        quorvane::EventLog& eventLog;
        std::string eventLogPath;
        MetricsServer& metrics;
    };

    // Told when a reload begins, and when it has ended with the note for the status
    // line (empty after a reload that worked).
    typedef std::function<void()> Begun;
    typedef std::function<void(const std::string& note)> Ended;

    // applied: the values the server was started with.
    SettingsReload(ACE_Reactor* reactor, const Target& target, ReloadableSettings& document,
                   const HostSettings& applied, Begun begun, Ended ended);
    ~SettingsReload() override;

    // Hands a reload to the main loop; several requests before it runs make one. False
    // when the loop cannot be told. Any thread.
    bool Request();
    // The reload; main loop's thread. Returns the lines it logged.
    std::vector<std::string> Reload();

    int handle_exception(ACE_HANDLE) override;

private:
    // The line that tells how the row's value differs from what the server holds; empty
    // when it does not.
    std::string Change(const quorvane::SettingRow& row, const HostSettings& fresh) const;

    Target target_;
    ReloadableSettings& document_;
    const HostSettings started_;  // what the start took, for the values only a start takes
    HostSettings applied_;        // what the last start or reload applied
    Begun begun_;
    Ended ended_;
    std::atomic<bool> pending_;
};

#endif
