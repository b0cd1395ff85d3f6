// What the host tells an operator about a start: the start line (ports, files root,
// the voice thread's scheduling), why the ports could not be opened, and a files root
// that cannot be written.
//
// Threads: the host's thread, at start-up.
#ifndef QUORVANE_SERVICE_STARTREPORT_H
#define QUORVANE_SERVICE_STARTREPORT_H

#include <cstdint>
#include <string>

struct HostSettings;

// Why the sockets of the settings could not be opened, in a few words for the status
// line ("ports in use", "bind-ip 192.0.2.1 is no address of this machine"); found by
// trying them once more.
std::string DescribeBindFailure(const HostSettings& host);

// Binds the TCP (tcp) or UDP port of the settings where the server would, once: empty when
// it can be had, else why not as DescribeBindFailure says it; inUse when another socket
// holds it.
std::string ProbePort(bool tcp, const HostSettings& host, bool& inUse);

// "Quorvane Server started: TCP 10300 and UDP 10301 on every address, files root
// /var/lib/quorvane/files, voice thread: real-time priority 1 (SCHED_FIFO), CPU 1 of its
// own; main loop: CPU 0." voicePlacement: ThreadPrecedence::Describe().
std::string StartLine(const std::string& displayName, const HostSettings& host, const std::string& filesRoot,
                      const std::string& voicePlacement);

// Empty when the files root (a directory) may be written; otherwise what to tell the
// administrator: uploads would fail one by one with nothing logged.
std::string CheckFilesRoot(const std::string& filesRoot);

// The status line of a running server: "Running: TCP 10300, UDP 10301, 3 users".
std::string RunningStatus(int tcpPort, int udpPort, int users);

// The answer of GET /health: healthy while the server serves and its main loop last ran
// less than HEALTHY_SILENCE_MS ago (silenceMs: Heartbeat::SilenceMs), with the running
// status as its line; else why not ("Not answering: the main loop has not run for 2.5 s").
enum { HEALTHY_SILENCE_MS = 1000 };
bool HealthStatus(bool serving, int64_t silenceMs, int tcpPort, int udpPort, int users, std::string& line);

#endif
