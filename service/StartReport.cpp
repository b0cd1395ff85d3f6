#include "StartReport.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "HostSettings.h"

namespace {

// Binds a socket of the type where the server would, once; the errno of the failure, 0
// when it worked (the socket is closed again at once).
int TryBind(int type, const BindAddress& where, int port) {
    const int fd = where.Bind(type, port);
    if (fd < 0) return errno;
    const int result = type == SOCK_STREAM && listen(fd, 1) != 0 ? errno : 0;
    close(fd);
    return result;
}

std::string Why(const char* protocol, int port, int error, const HostSettings& host) {
    const std::string what = std::string(protocol) + " port " + std::to_string(port);
    switch (error) {
    case EADDRINUSE: return what + " in use";
    case EACCES:
    case EPERM: return what + " needs the privilege to bind ports below 1024";
    case EADDRNOTAVAIL: return "bind-ip " + host.BindIp() + " is no address of this machine";
    default: return what + ": " + std::generic_category().message(error);
    }
}

}  // namespace

std::string DescribeBindFailure(const HostSettings& host) {
    const int tcp = TryBind(SOCK_STREAM, host.where, host.TcpPort());
    const int udp = TryBind(SOCK_DGRAM, host.where, host.UdpPort());
    const int tls = host.TlsPort() != 0 ? TryBind(SOCK_STREAM, host.where, host.TlsPort()) : 0;
    if (tcp == EADDRINUSE && udp == EADDRINUSE) return "ports in use";
    if (tcp != 0) return Why("TCP", host.TcpPort(), tcp, host);
    if (udp != 0) return Why("UDP", host.UdpPort(), udp, host);
    if (tls != 0) return Why("TLS", host.TlsPort(), tls, host);
    return "ports in use";  // taken and given back in between
}

std::string ProbePort(bool tcp, const HostSettings& host, bool& inUse) {
    const int port = tcp ? host.TcpPort() : host.UdpPort();
    const int error = TryBind(tcp ? SOCK_STREAM : SOCK_DGRAM, host.where, port);
    inUse = error == EADDRINUSE;
    return error == 0 ? "" : Why(tcp ? "TCP" : "UDP", port, error, host);
}

std::string StartLine(const std::string& displayName, const HostSettings& host, const std::string& filesRoot,
                      const std::string& voicePlacement) {
    return displayName + " started: TCP " + std::to_string(host.TcpPort()) +
           (host.TlsPort() != 0 ? ", TLS " + std::to_string(host.TlsPort()) : std::string()) + " and UDP " +
           std::to_string(host.UdpPort()) +
           (!host.BindIp().empty()   ? " on " + host.BindIp()
            : BindAddress::HasIpv6() ? std::string(" on every address")
                                     : std::string(" on every IPv4 address (this machine has no IPv6)")) +
           (filesRoot.empty() ? ", file sharing off" : ", files root " + filesRoot) + ", " + voicePlacement + ".";
}

std::string CheckFilesRoot(const std::string& filesRoot) {
    if (filesRoot.empty() || access(filesRoot.c_str(), W_OK | X_OK) == 0) return "";
    const std::string reason = std::generic_category().message(errno);
    return "The files root " + filesRoot + " cannot be written (" + reason +
           "): every upload will fail. Give the server's user write access to it; under systemd also "
           "ReadWritePaths=" +
           filesRoot + " (systemctl edit quorvane-server).";
}

std::string RunningStatus(int tcpPort, int udpPort, int users) {
    return "Running: TCP " + std::to_string(tcpPort) + ", UDP " + std::to_string(udpPort) + ", " +
           std::to_string(users) + (users == 1 ? " user" : " users");
}

bool HealthStatus(bool serving, int64_t silenceMs, int tcpPort, int udpPort, int users, std::string& line) {
    if (!serving || silenceMs < 0) {
        line = "Not serving: the server is starting or stopping";
        return false;
    }
    if (silenceMs >= HEALTHY_SILENCE_MS) {
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%.1f", static_cast<double>(silenceMs) / 1000);
        line = std::string("Not answering: the main loop has not run for ") + seconds + " s";
        return false;
    }
    line = RunningStatus(tcpPort, udpPort, users);
    return true;
}
