// The program's service body: reads the settings file in its data directory (DataDirectory),
// or checks it (--check, StartCheck); builds
// and starts the server node, runs its two event loops and, on the stop request, shuts
// everything down in order. Started by systemd it also feeds the watchdog, keeps the
// status line current and reloads the settings on SIGHUP.
//
// Threads: RunService runs on the main thread and, once the server is up, only waits
// for the stop event; Stop and Reload may come from any thread.
#ifndef QUORVANE_SERVICE_QUORVANESERVICE_H
#define QUORVANE_SERVICE_QUORVANESERVICE_H

#include <mutex>
#include <string>

#include <ace/Manual_Event.h>

#include "ServiceHost.h"

class ACE_Reactor;
class Heartbeat;
class MetricsServer;
class ReloadableSettings;
class SettingsReload;
struct HostSettings;

namespace quorvane {
class EventLog;
namespace server {
class ServerNode;
}
}  // namespace quorvane

class QuorvaneService : public ServiceHost {
public:
    static const char* const SETTINGS_FILE_NAME;
    static const char* const LOG_FILE_NAME;

    explicit QuorvaneService(const char* name);

    // False when the server could not start (unreadable settings file, invalid bind
    // address, ports in use); the reason has been logged and given to the status.
    bool Run() override;
    // Thread safe. A stop asked for before the server has started ends the service
    // right after the start.
    void Stop() override;
    // Thread safe: hands a reload of the settings to the main loop; ignored (and said
    // so) unless the server runs.
    void Reload() override;
    const char* UsageNotes() const override;
    // Checks FILE, else the settings file of the data directory. Run by systemd for a
    // reload ($MAINPID set), the ports and the metrics address are the running server's
    // and are not tried.
    int Check(const std::string& file) override;

private:
    // Start-up from the settings file on, the run and the shutdown; the reactors exist.
    bool Serve(ACE_Reactor* voiceReactor);
    // Runs the started node's event loops until the stop event, then stops the node and
    // ends the loops. False when the loop threads could not be started.
    bool RunStartedServer(quorvane::server::ServerNode& node, ACE_Reactor* voiceReactor, const HostSettings& host,
                          ReloadableSettings& settings, quorvane::EventLog& eventLog, const std::string& logPath,
                          MetricsServer& metrics, Heartbeat& heartbeat);
    void WaitForStop();

    // Manual reset. It lives as long as the object rather than only during Run, so that
    // a stop requested before Run has created it is not lost.
    ACE_Manual_Event stopEvent_;
    std::string dataDirectory_;  // once Serve has found it
    // The reload of the running server; null before it runs and once it stops. The lock
    // guards reload_: the host's thread sets it, the signal thread asks it for a reload.
    std::mutex reloadLock_;
    SettingsReload* reload_;
};

#endif
