// The program as a systemd service: -i -u -e -s against a scratch unit directory and a
// systemctl double that records its calls and plays the unit's states, the unit file
// itself, and the state reports on a real notification socket.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "ManagerFixture.h"
#include "NotifySocket.h"
#include "PortHolder.h"

namespace quorvane {
namespace test {
namespace {

const char* const UNIT = "quorvane-server.service";
const std::string SHOW = "show --property=ActiveState --value quorvane-server.service\n";

// Appends its arguments to systemctl.log; a file fail-VERB makes VERB fail with the
// file's text on standard error; "show" answers the first line of the file states and
// drops it while more lines follow.
const char* const SYSTEMCTL_DOUBLE =
    "#!/bin/sh\n"
    "d=$(dirname \"$0\")\n"
    "echo \"$*\" >> \"$d/systemctl.log\"\n"
    "if [ -f \"$d/fail-$1\" ]; then cat \"$d/fail-$1\" >&2; exit 1; fi\n"
    "if [ \"$1\" = show ]; then\n"
    "  head -n 1 \"$d/states\"\n"
    "  if [ \"$(wc -l < \"$d/states\")\" -gt 1 ]; then sed -i 1d \"$d/states\"; fi\n"
    "fi\n";

// The unit file of the repository, which -i installs.
std::string RepositoryUnit() {
    const std::filesystem::path source(__FILE__);
    std::ifstream in(source.parent_path().parent_path().parent_path() / "packaging" / UNIT);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the server in a mount namespace of its own whose /dev/log is the socket
// "syslog" of the scratch directory: a fresh /dev that keeps only the devices a process
// may want. Exits with 97 when the namespace cannot be made.
const char* const IN_NAMESPACE =
    "#!/bin/sh\n"
    "d=$(dirname \"$0\")\n"
    "exec unshare --mount --propagation private sh -c '\n"
    "  d=$1; shift\n"
    "  mkdir -p \"$d/dev\" && mount --rbind /dev \"$d/dev\" && mount -t tmpfs tmpfs /dev || exit 97\n"
    "  for n in null zero full random urandom; do\n"
    "    touch /dev/$n && mount --bind \"$d/dev/$n\" /dev/$n || exit 97\n"
    "  done\n"
    "  ln -s /proc/self/fd /dev/fd\n"
    "  touch /dev/log && mount --bind \"$d/syslog\" /dev/log || exit 97\n"
    "  exec \"$d/quorvane-server\" \"$@\"\n"
    "' sh \"$d\" \"$@\" || exit 97\n";

const std::string STARTING = "STATUS=Starting Quorvane Server.\nEXTEND_TIMEOUT_USEC=3000000";
const std::string STOPPING = "STOPPING=1\nSTATUS=Stopping Quorvane Server.\nEXTEND_TIMEOUT_USEC=5000000";
const std::string STOPPED = "STATUS=Quorvane Server stopped.";

class ServiceTest : public ManagerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        ASSERT_EQ(mkdir(PathOf("units").c_str(), 0755), 0);
        WriteFile("systemctl", SYSTEMCTL_DOUBLE);
        ASSERT_EQ(chmod(PathOf("systemctl").c_str(), 0755), 0);
        WriteFile("states", "inactive\n");
        setenv("QUORVANE_UNIT_DIR", PathOf("units").c_str(), 1);
        setenv("QUORVANE_SYSTEMCTL", PathOf("systemctl").c_str(), 1);
    }

    std::string UnitPath() const { return PathOf("units/") + UNIT; }
    std::string Calls() const { return ReadFile("systemctl.log"); }
};

TEST_F(ServiceTest, InstallWritesTheRepositoryUnitForThisProgramAndEnablesIt) {
    const std::string directory = std::filesystem::canonical(dir_).string();
    const RunResult run = RunBinary({"-i", "-l", ".\\daemon", "-psecret"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Quorvane Server installed.\nIt runs as daemon, who must be able to write " + directory +
                           " (settings, ban list, files list, log).\n");
    EXPECT_EQ(run.err,
              "-p is ignored: systemd starts a service as its user, without a password.\n"
              "daemon cannot write " +
                  directory + " now; for example: chown daemon '" + directory + "'\n");
    EXPECT_EQ(Calls(), "daemon-reload\nenable quorvane-server.service\n");

    // The packaged unit, for this program: its path, its files beside it, the account, and
    // no manual page, which only the package installs.
    ASSERT_FALSE(std::filesystem::exists("/usr/share/man/man8/quorvane-server.8.gz"))
        << "the package is installed here";
    const std::pair<std::string, std::string> rewritten[] = {
        {"Documentation=", ""},
        {"User=", "User=daemon"},
        {"Group=", ""},
        {"StateDirectory=", "WorkingDirectory=" + directory + "\nReadWritePaths=" + directory},
        {"StateDirectoryMode=", ""},
    };
    std::string expected;
    std::istringstream lines(RepositoryUnit());
    for (std::string line; std::getline(lines, line);) {
        bool keep = true;
        for (const auto& rule : rewritten) {
            if (line.rfind(rule.first, 0) == 0) {
                line = rule.second;
                keep = !line.empty();
            }
        }
        // Every command runs this program: the start, its check before, the reload's check.
        const size_t packaged = line.rfind("Exec", 0) == 0 ? line.find("/usr/sbin/quorvane-server") : std::string::npos;
        if (packaged != std::string::npos) line.replace(packaged, 25, directory + "/quorvane-server");
        if (keep) expected += line + "\n";
    }
    const std::string unit = ReadFile(UnitPath());
    EXPECT_EQ(unit, expected);
    for (const char* setting :
         {"Type=notify", "KillSignal=SIGTERM", "RestartPreventExitStatus=2", "NoNewPrivileges=yes", "PrivateTmp=yes",
          "ProtectSystem=strict", "ProtectHome=yes", "WatchdogSec=30s", "ExecReload=/bin/kill -HUP $MAINPID"}) {
        EXPECT_NE(unit.find(std::string("\n") + setting + "\n"), std::string::npos) << setting;
    }
    for (const std::string command : {"ExecStartPre=", "ExecReload="})
        EXPECT_NE(unit.find("\n" + command + directory + "/quorvane-server --check\n"), std::string::npos) << command;
    // A clean stop exits 0, which needs no SuccessExitStatus=; no wait for a network.
    EXPECT_NE(unit.find("\nAfter=network.target\n"), std::string::npos);
    for (const char* absent : {"SuccessExitStatus=", "\nWants=", "\nAfter=network-online"}) {
        EXPECT_EQ(unit.find(absent), std::string::npos) << absent;
    }

    // A second installation fails and changes nothing.
    const RunResult again = RunBinary({"-i"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.out, "Unable to install Quorvane Server - " + UnitPath() + " already exists\n");
    EXPECT_EQ(ReadFile(UnitPath()), unit);
    EXPECT_EQ(Calls(), "daemon-reload\nenable quorvane-server.service\n");

    // With --data-dir the files go there, and every command is told so.
    ASSERT_EQ(mkdir(PathOf("data").c_str(), 0750), 0);
    ASSERT_EQ(unlink(UnitPath().c_str()), 0);
    const RunResult elsewhere = RunBinary({"-i", "--data-dir", PathOf("data")});
    EXPECT_EQ(elsewhere.exitCode, 0) << elsewhere.out;
    const std::string program = directory + "/quorvane-server --data-dir " + directory + "/data";
    for (const std::string& line :
         {"ExecStartPre=" + program + " --check", "ExecStart=" + program, "ExecReload=" + program + " --check",
          "WorkingDirectory=" + directory + "/data", "ReadWritePaths=" + directory + "/data"})
        EXPECT_NE(ReadFile(UnitPath()).find("\n" + line + "\n"), std::string::npos) << line;

    // systemd's own check of the unit as installed.
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    const std::string report = PathOf("verify.txt");
    EXPECT_EQ(std::system(("systemd-analyze verify '" + UnitPath() + "' >'" + report + "' 2>&1").c_str()), 0);
    EXPECT_EQ(ReadFile(report), "");
}

TEST_F(ServiceTest, FailedInstallLeavesNothingInstalled) {
    WriteFile("fail-enable", "Failed to enable unit: Access denied\n");
    RunResult run = RunBinary({"-i"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Unable to install Quorvane Server - Failed to enable unit: Access denied\n");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(Calls(), "daemon-reload\nenable quorvane-server.service\ndaemon-reload\n");

    // An account of another domain is no user name here.
    run = RunBinary({"-i", "-lCorvedom\\qxa"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Unable to install Quorvane Server - the account Corvedom\\qxa is not a user name\n");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));

    // A user that does not exist would fail every start of the unit.
    WriteFile("systemctl.log", "");
    run = RunBinary({"-i", "-l", "nosuchuser"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Unable to install Quorvane Server - the user nosuchuser does not exist\n");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(Calls(), "");
}

TEST_F(ServiceTest, ActionsFollowTheStatesTheManagerPlays) {
    const std::string start = "start --no-block quorvane-server.service\n";
    const std::string stop = "stop --no-block quorvane-server.service\n";
    const std::string remove = "disable quorvane-server.service\ndaemon-reload\n";
    struct Case {
        std::vector<std::string> args;
        std::string states;     // what "show" answers, one line per call
        std::string failStart;  // systemctl start fails with this text
        std::string out;
        int exitCode;
        std::string calls;
    };
    const Case cases[] = {
        {{"-s"},
         "activating\nactivating\nactive\n",
         "",
         "Starting up Quorvane Server...\nQuorvane Server started.\n",
         0,
         start + SHOW + SHOW + SHOW},
        {{"-s"}, "failed\n", "", "Starting up Quorvane Server.\nQuorvane Server failed to start.\n", 1, start + SHOW},
        {{"-s"},
         "inactive\n",
         "Unit quorvane-server.service is masked.\n",
         "Starting up Quorvane Server.\nQuorvane Server failed to start: Unit quorvane-server.service "
         "is masked.\n",
         1,
         start},
        // Nothing runs: the stop is refused silently.
        {{"-e"}, "inactive\n", "", "", 1, SHOW},
        {{"-e"},
         "active\ndeactivating\ninactive\n",
         "",
         "Stopping Quorvane Server..\nQuorvane Server stopped.\n",
         0,
         SHOW + stop + SHOW + SHOW},
        {{"-e"},
         "active\ndeactivating\nactive\n",
         "",
         "Stopping Quorvane Server..\nQuorvane Server failed to stop.\n",
         1,
         SHOW + stop + SHOW + SHOW},
        {{"-u"},
         "activating\ndeactivating\nfailed\n",
         "",
         "Stopping Quorvane Server..\nQuorvane Server stopped.\nQuorvane Server removed.\n",
         0,
         SHOW + stop + SHOW + SHOW + remove},
        // The last action wins.
        {{"-i", "-u"}, "inactive\n", "", "Quorvane Server removed.\n", 0, SHOW + remove},
    };
    for (const Case& c : cases) {
        const std::string label = c.args.back() + " with " + c.states;
        WriteFile("units/quorvane-server.service", RepositoryUnit());
        WriteFile("states", c.states);
        WriteFile("systemctl.log", "");
        std::filesystem::remove(PathOf("fail-start"));
        if (!c.failStart.empty()) {
            WriteFile("fail-start", c.failStart);
        }
        const RunResult run = RunBinary(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << label;
        EXPECT_EQ(run.out, c.out) << label;
        EXPECT_EQ(Calls(), c.calls) << label;
        EXPECT_EQ(std::filesystem::exists(UnitPath()), c.args.back() != "-u") << label;
    }

    // Without a unit there is nothing to act on.
    const std::pair<const char*, const char*> actions[] = {{"-u", "remove"}, {"-e", "stop"}, {"-s", "start"}};
    for (const auto& action : actions) {
        WriteFile("systemctl.log", "");
        const RunResult run = RunBinary({action.first});
        EXPECT_EQ(run.exitCode, 1) << action.first;
        EXPECT_EQ(run.out, std::string("Unable to ") + action.second + " Quorvane Server - " + UnitPath() +
                               ": No such file or directory\n")
            << action.first;
        EXPECT_EQ(Calls(), "") << action.first;
    }
}

TEST_F(ServiceTest, ReportsEachStateToTheNotificationSocket) {
    NotifySocket manager(PathOf("notify"));
    LaunchUnderTheManager(PathOf("notify"));
    // Start pending from the wrapper, then from the server itself.
    EXPECT_EQ(manager.Next(), STARTING);
    EXPECT_EQ(manager.Next(), STARTING);
    EXPECT_EQ(manager.Next(), ReadyReport(tcpPort_, udpPort_));
    // Ready means serving.
    EXPECT_TRUE(IsTcpListening(tcpPort_));
    EXPECT_TRUE(IsUdpBound(udpPort_));
    TestUser user;
    EXPECT_GT(Connect(user), 0);

    EXPECT_EQ(StopServer(SIGTERM), EXIT_CLEAN_STOP);
    EXPECT_EQ(manager.Next(), STOPPING);
    EXPECT_EQ(manager.Next(), STOPPED);
    EXPECT_EQ(manager.Next(0), "");
    EXPECT_EQ(ServerOutput(), "");
}

TEST_F(ServiceTest, StopDuringStartUpUnderTheManagerEndsRightAfterTheStart) {
    NotifySocket manager(PathOf("notify"));
    LaunchUnderTheManager(PathOf("notify"));
    // The first report comes once the stop signals are taken, before the server starts.
    ASSERT_EQ(manager.Next(), STARTING);
    EXPECT_EQ(StopServer(SIGTERM), EXIT_CLEAN_STOP) << ServerErrors();
    std::vector<std::string> reports;
    for (std::string report = manager.Next(0); !report.empty(); report = manager.Next(0)) {
        reports.push_back(report);
    }
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), STOPPED);
    // Once stopping, the service never reports ready.
    bool stopping = false;
    for (const std::string& report : reports) {
        stopping = stopping || report == STOPPING;
        EXPECT_FALSE(stopping && report.rfind("READY=1", 0) == 0);
    }
    EXPECT_TRUE(stopping);
}

TEST_F(ServiceTest, UnreachableNotificationSocketStartsNothing) {
    setenv("NOTIFY_SOCKET", PathOf("nobody-listens").c_str(), 1);
    const RunResult run = RunBinary({});
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    // The server never started: it did not even write its settings file.
    EXPECT_FALSE(std::filesystem::exists(PathOf("QuorvaneService.xml")));
}

TEST_F(ServiceTest, EventsReachSyslogUnderTheServiceName) {
    NotifySocket syslog(PathOf("syslog"));
    WriteFile("in-namespace.sh", IN_NAMESPACE);
    ASSERT_EQ(chmod(PathOf("in-namespace.sh").c_str(), 0755), 0);
    binary_ = PathOf("in-namespace.sh");
    const RunResult probe = RunBinary({"-h"});
    if (probe.exitCode != 0) {
        GTEST_SKIP() << "no mount namespace for a private /dev/log: " << probe.err;
    }

    // <30>: daemon, information; <27>: daemon, error.
    // Under systemd the name is the unit's: the journal cannot take one with a blank.
    std::string name = " Quorvane Server[";
    const auto expectEvent = [&](const std::string& priority, const std::string& text) {
        const std::string line = syslog.Next();
        EXPECT_EQ(line.substr(0, priority.size()), priority) << line;
        EXPECT_NE(line.find(name), std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), text.size() + 3)), "]: " + text) << line;
    };
    EXPECT_EQ(RunBinary({"-i"}).exitCode, 0);
    expectEvent("<30>", "Service installed");

    // Both reports of a run whose notification socket is gone fail.
    name = " quorvane-server[";
    setenv("NOTIFY_SOCKET", PathOf("nobody-listens").c_str(), 1);
    EXPECT_EQ(RunBinary({}).exitCode, 2);
    unsetenv("NOTIFY_SOCKET");
    expectEvent("<27>", "Unable to report the state to systemd: No such file or directory");
    expectEvent("<27>", "Unable to report the state to systemd: No such file or directory");
    EXPECT_EQ(syslog.Next(0), "");

    // Under systemd each message is written once, to the system log, a line each and
    // without the carriage return that the journal would show as binary data.
    NotifySocket manager(PathOf("notify"));
    const int tcpPort = testing_support::FreePort(SOCK_STREAM);
    const int udpPort = testing_support::FreePort(SOCK_DGRAM);
    WriteFile("QuorvaneService.xml", SettingsDocument(ServerConfig(), tcpPort, udpPort));
    const PortHolder holder(SOCK_STREAM, tcpPort);
    ASSERT_TRUE(holder.IsHeld());
    setenv("NOTIFY_SOCKET", PathOf("notify").c_str(), 1);
    const RunResult run = RunBinary({});
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "");
    expectEvent("<27>", "Unable to launch server using IP-address 127.0.0.1 TCP port " + std::to_string(tcpPort) +
                            " UDP port " + std::to_string(udpPort) + ".");
    expectEvent("<27>", "Make sure the ports are not currently in use.");
    EXPECT_EQ(syslog.Next(0), "");
}

}  // namespace
}  // namespace test
}  // namespace quorvane
