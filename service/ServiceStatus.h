// The state a service run reports to systemd (through ServiceManager): starting,
// running with its status line, reloading, stopping, stopped (or why it failed to
// start). Outside systemd nothing is reported. Once a stop is pending only the end is
// reported, so a stop asked for during start-up is not followed by "running".
//
// Threads: every method is thread safe. Reports are kept under the lock and sent after
// it is let go, so that no thread waits on systemd under it; a report that cannot be
// sent is written to the system log.
#ifndef QUORVANE_SERVICE_SERVICESTATUS_H
#define QUORVANE_SERVICE_SERVICESTATUS_H

#include <mutex>
#include <string>

class ServiceStatus {
public:
    enum State { STOPPED, STARTING, RUNNING, STOPPING };

    // name: what the status lines call the service ("Quorvane Server").
    explicit ServiceStatus(const std::string& name);

    // Whether systemd started the process and waits for its reports (false until set).
    void SetReported(bool reported);
    bool IsReported() const;

    // Reports the state; waitHintMs bounds how long a start or stop may still take. The
    // stopped report tells exitCode 0 as stopped, any other as a failed start. False when
    // the report could not be sent.
    bool Set(State state, int waitHintMs, int exitCode = 0);
    // What the status line says while the service runs ("Running: TCP 10300, ..."); sent
    // at once when it changed and the service runs.
    void SetRunning(const std::string& text);
    // Why the service could not start ("ports in use"): the stopped report then reads
    // "Failed to start: <reason>".
    void SetFailureReason(const std::string& reason);
    // A reload of the settings begins / has ended: RELOADING=1, then READY=1 with the
    // running status. Nothing is reported unless the service runs.
    void Reloading();
    void Reloaded();

private:
    // Sends what was kept; a failure goes to the system log. Without the lock.
    bool Send();

    const std::string name_;
    mutable std::mutex lock_;  // the fields below
    bool reported_ = false;
    State state_ = STOPPED;
    int waitHintMs_ = 0;
    std::string running_;
    std::string failureReason_;
};

#endif
