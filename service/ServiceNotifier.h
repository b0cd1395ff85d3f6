// The way to systemd's notification socket ($NOTIFY_SOCKET: a path, or "@name" in the
// abstract namespace), made so that no thread ever waits on the service manager: every
// datagram goes with MSG_DONTWAIT, and what the socket cannot take now waits for the next
// send instead of piling up. One report waits at most: a newer one replaces it, keeping
// its state until sent (a READY=1 or STOPPING=1 is not lost to a later status line), and
// WATCHDOG=1 waits apart and goes first. The service keeps reports under its own lock and
// sends them after letting it go, so no lock the main loop needs is held over a send.
//
// Threads: every method is thread safe and never blocks; a thread that finds another one
// sending leaves what it kept to that one.
#ifndef QUORVANE_SERVICE_SERVICENOTIFIER_H
#define QUORVANE_SERVICE_SERVICENOTIFIER_H

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <mutex>
#include <string>

class ServiceNotifier {
public:
    // The socket of that address; an empty one means none (every send fails).
    explicit ServiceNotifier(const std::string& address);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // The process's: $NOTIFY_SOCKET as it is at the first call.
    static ServiceNotifier& OfProcess();

    // Keeps a report, replacing one still waiting: state ("READY=1", ...; empty keeps the
    // waiting one's), the status line, and extra lines (empty for none). Sends nothing.
    void Keep(const std::string& state, const std::string& status, const std::string& extra);
    // Keeps WATCHDOG=1.
    void KeepWatchdog();
    // Sends what waits, WATCHDOG=1 first. What the socket cannot take now (it is full)
    // waits for the next call. False, with the reason, when a send failed otherwise; that
    // message is then dropped.
    bool Send(std::string& error);
    // Whether anything waits to be sent.
    bool Waiting() const;

private:
    // Sends one datagram now: 0, or the errno (EAGAIN when the socket is full).
    int SendNow(const std::string& message) const;

    int fd_ = -1;
    sockaddr_un address_ = {};
    socklen_t addressLength_ = 0;
    std::string addressError_;  // why there is no address; empty when there is

    mutable std::mutex lock_;  // guards what follows; never held over a send
    bool sending_ = false;     // a thread is sending: others leave their reports to it
    bool watchdog_ = false;
    bool report_ = false;
    uint64_t version_ = 0;  // of the report; a send clears only the version it sent
    std::string state_;
    std::string status_;
    std::string extra_;
};

#endif
