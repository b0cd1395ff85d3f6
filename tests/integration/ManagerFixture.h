// The server binary as systemd starts it: no option, NOTIFY_SOCKET set (and a watchdog
// period when asked for), settings on free loopback ports.
#ifndef QUORVANE_TESTS_MANAGERFIXTURE_H
#define QUORVANE_TESTS_MANAGERFIXTURE_H

#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ServerFixture.h"

namespace quorvane {
namespace test {

class ManagerFixture : public ServerFixture {
protected:
    // Settings on free loopback ports, and a run without options that reports to the
    // notification socket; with a watchdog period when one is given.
    void LaunchUnderTheManager(const std::string& notifySocket, const ServerConfig& config = ServerConfig(),
                               const char* watchdogUsec = nullptr) {
        tcpPort_ = testing_support::FreePort(SOCK_STREAM);
        udpPort_ = testing_support::FreePort(SOCK_DGRAM);
        WriteFile("QuorvaneService.xml", SettingsDocument(config, tcpPort_, udpPort_));
        setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
        if (watchdogUsec != nullptr) setenv("WATCHDOG_USEC", watchdogUsec, 1);
        Launch({});
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }

    // The report that the server serves, with its status line.
    static std::string ReadyReport(int tcpPort, int udpPort, const std::string& users = "0 users") {
        return "READY=1\nSTATUS=Running: TCP " + std::to_string(tcpPort) + ", UDP " + std::to_string(udpPort) + ", " +
               users;
    }

    // Whether every thread of the process is stopped by a signal.
    static bool AllThreadsStopped(pid_t pid) {
        bool any = false;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
            std::ifstream in(task.path() / "stat");
            const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t close = stat.rfind(')');
            if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'T') return false;
            any = true;
        }
        return any;
    }
};

}  // namespace test
}  // namespace quorvane

#endif
