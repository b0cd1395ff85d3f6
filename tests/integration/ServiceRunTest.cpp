// The service run as systemd runs it, reporting to a notification socket of the test's
// own: why a start failed, the reload of the settings on SIGHUP, the watchdog.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "ManagerFixture.h"
#include "NotifySocket.h"
#include "PortHolder.h"

namespace quorvane {
namespace test {
namespace {

class ServiceRunTest : public ManagerFixture {};

TEST_F(ServiceRunTest, FailedStartsSayWhyInTheStatus) {
    NotifySocket manager(PathOf("notify"));
    const int tcpPort = testing_support::FreePort(SOCK_STREAM);
    const int udpPort = testing_support::FreePort(SOCK_DGRAM);
    ServerConfig invalidAddress;
    invalidAddress.bindIp = "255.255.255.255";
    ServerConfig fine, metrics;
    const int metricsPort = testing_support::FreePort(SOCK_STREAM);
    metrics.metricsAddress = "127.0.0.1:" + std::to_string(metricsPort);
    struct Case {
        std::string settings;
        int heldPort;  // a TCP port taken meanwhile; 0 for none
        std::string status;
    };
    const Case cases[] = {
        {"<quorvane><hosting><motd>x</hosting>", 0, "Failed to start: settings file invalid: "},
        {SettingsDocument(fine, 0, udpPort), 0, "Failed to start: settings file invalid: hostport is \"0\""},
        {SettingsDocument(invalidAddress, tcpPort, udpPort), 0,
         "Failed to start: bind-ip invalid: \"255.255.255.255\""},
        {SettingsDocument(fine, tcpPort, udpPort), tcpPort,
         "Failed to start: TCP port " + std::to_string(tcpPort) + " in use"},
        {SettingsDocument(metrics, tcpPort, udpPort), metricsPort,
         "Failed to start: metrics cannot listen on " + metrics.metricsAddress + ": Address already in use"},
    };
    for (const Case& c : cases) {
        WriteFile("QuorvaneService.xml", c.settings);
        std::unique_ptr<PortHolder> holder(c.heldPort ? new PortHolder(SOCK_STREAM, c.heldPort) : nullptr);
        setenv("NOTIFY_SOCKET", PathOf("notify").c_str(), 1);
        const RunResult run = RunBinary({});
        unsetenv("NOTIFY_SOCKET");
        EXPECT_EQ(run.exitCode, 2) << c.status;
        const std::vector<std::string> reports = manager.Drain();
        ASSERT_FALSE(reports.empty()) << c.status;
        EXPECT_EQ(reports.back().rfind("STATUS=" + c.status, 0), 0u) << reports.back();
        // Under systemd nothing is written twice: the messages went to the system log.
        EXPECT_EQ(run.err, "") << c.status;
    }
}

TEST_F(ServiceRunTest, ReloadAppliesTheFileAndNamesWhatNeedsARestart) {
    NotifySocket manager(PathOf("notify"));
    ServerConfig config;
    config.serverLogging = true;
    config.adminEnabled = true;
    config.adminUsername = "admin";
    config.adminPassword = "old";
    LaunchUnderTheManager(PathOf("notify"), config);
    ASSERT_EQ(manager.NextWith("READY=1"), ReadyReport(tcpPort_, udpPort_));
    TestUser ann;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));

    // The administrator changes the file; the new port waits for a restart.
    const int nextPort = testing_support::FreePort(SOCK_STREAM);
    ServerConfig changed = config;
    changed.serverName = "Renamed";
    changed.motd = "Hello all";
    changed.maxUsers = 1;
    changed.adminPassword = "new";
    changed.passwordLockout = 3;
    changed.maxFilesPerChannel = 5;
    changed.maxOutputQueue = 1048576;
    WriteFile("QuorvaneService.xml", SettingsDocument(changed, nextPort, udpPort_));
    // logrotate moves the log away before it asks for the reload.
    ASSERT_EQ(rename(PathOf("QuorvaneService.log").c_str(), PathOf("QuorvaneService.log.1").c_str()), 0);
    ASSERT_EQ(kill(pid_, SIGHUP), 0);
    EXPECT_EQ(manager.NextWith("RELOADING=1"), "RELOADING=1\nSTATUS=Reloading the settings.");
    EXPECT_EQ(manager.NextWith("READY=1"), ReadyReport(tcpPort_, udpPort_, "1 user"));
    const std::string update = SkipUntil(ann.tcp, "serverupdate");
    EXPECT_EQ(testing_support::Param(update, "servername"), "Renamed") << update;

    const std::string expected[] = {
        "Reload: server-name changed from \"Quorvane Server\" to \"Renamed\".",
        "Reload: motd changed from \"\" to \"Hello all\".",
        "Reload: admin-password changed.",
        "Reload: max-users changed from 500 to 1.",
        "Reload: password-lockout changed from 10 to 3.",
        "Reload: max-files-per-channel changed from 1000 to 5.",
        "Reload: max-output-queue changed from 268435456 to 1048576.",
        "Reload: hostport changed from " + std::to_string(tcpPort_) + " to " + std::to_string(nextPort) +
            "; restart the server to apply it.",
        "Reload: read " + std::filesystem::canonical(dir_).string() + "/QuorvaneService.xml again; 8 values changed.",
    };
    std::string log;
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return (log = ReadFile("QuorvaneService.log")).find(expected[8]) != std::string::npos; },
        DEFAULT_TIMEOUT_MS))
        << log;
    size_t at = 0;
    for (const std::string& line : expected) {
        const size_t found = log.find(" " + line + "\n", at);
        EXPECT_NE(found, std::string::npos) << line << "\nin:\n" << log;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(ReadFile("QuorvaneService.log.1").find("Reload"), std::string::npos);

    // The new account works, and a save keeps the file's port for the next start.
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "admin", "new"));
    admin.tcp.Send("saveconfig\r\n");
    SkipUntil(admin.tcp, "ok");
    EXPECT_NE(ReadFile("QuorvaneService.xml").find("<hostport>" + std::to_string(nextPort) + "</hostport>"),
              std::string::npos);

    // A broken file changes nothing and says so.
    WriteFile("QuorvaneService.xml", "<quorvane><hosting>");
    ASSERT_EQ(kill(pid_, SIGHUP), 0);
    const std::string failed = manager.NextWith("READY=1");
    EXPECT_EQ(failed.rfind(ReadyReport(tcpPort_, udpPort_, ""), 0), 0u) << failed;
    EXPECT_NE(failed.find(" users; last reload failed: settings file invalid: "), std::string::npos) << failed;
    EXPECT_TRUE(testing_support::WaitFor(
        [&] {
            return ReadFile("QuorvaneService.log").find("Reload failed, nothing was changed: ") != std::string::npos;
        },
        DEFAULT_TIMEOUT_MS));
    // A value that is no number fails a reload too, with its line; an unknown element is told.
    std::string strict = SettingsDocument(changed, nextPort, udpPort_);
    const std::string lockout = "<password-lockout>3</password-lockout>";
    strict.replace(strict.find(lockout), lockout.size(),
                   "\n<password-lockout>ten</password-lockout><comand-rate>1</comand-rate>");
    WriteFile("QuorvaneService.xml", strict);
    ASSERT_EQ(kill(pid_, SIGHUP), 0);
    EXPECT_NE(
        manager.NextWith("READY=1").find("; last reload failed: settings file invalid: password-lockout is \"ten\""),
        std::string::npos);
    const std::string file = std::filesystem::canonical(dir_).string() + "/QuorvaneService.xml, line 2: ";
    const std::string told[] = {
        "Reload failed, nothing was changed: Quorvane service found an invalid setting in " + file +
            "password-lockout is \"ten\"; it must be a number from 0 to 2147483647.",
        "Reload: Quorvane service found an unknown setting in " + file +
            "comand-rate is no setting of this server (command-rate?); it is kept in the file and has no effect.",
    };
    EXPECT_TRUE(testing_support::WaitFor(
        [&] { return (log = ReadFile("QuorvaneService.log")).find(told[1]) != std::string::npos; }, DEFAULT_TIMEOUT_MS))
        << log;
    EXPECT_NE(log.find(told[0]), std::string::npos) << log;
    EXPECT_EQ(log.find("password-lockout changed from 3"), std::string::npos) << log;
    // What the first reload applied still holds: the new name, one user at most.
    TestUser bob;
    Connect(bob);
    SayHello(bob);
    EXPECT_EQ(testing_support::Param(bob.welcome, "servername"), "Renamed");
    EXPECT_EQ(SendLogin(bob, "bob"), "error number=208 message=\"Maximum number of users exceeded\"");
    EXPECT_EQ(StopServer(SIGTERM), EXIT_CLEAN_STOP);
}

// A metrics address that cannot be had fails the reload where systemd shows it, keeps
// the old listener, and the next reload tries again.
TEST_F(ServiceRunTest, AMetricsAddressInUseFailsTheReloadUntilItIsFree) {
    NotifySocket manager(PathOf("notify"));
    const int oldPort = testing_support::FreePort(SOCK_STREAM), newPort = testing_support::FreePort(SOCK_STREAM);
    auto scrapes = [](int port) {
        testing_support::LineClient http;
        std::string status;
        return http.Connect(port, DEFAULT_TIMEOUT_MS) && http.Send("GET /metrics HTTP/1.0\r\n\r\n") &&
               http.ReadLine(status, DEFAULT_TIMEOUT_MS) && status.rfind("HTTP/1.1 200", 0) == 0;
    };
    ServerConfig config;
    config.metricsAddress = "127.0.0.1:" + std::to_string(oldPort);
    LaunchUnderTheManager(PathOf("notify"), config);
    ASSERT_EQ(manager.NextWith("READY=1"), ReadyReport(tcpPort_, udpPort_));
    config.metricsAddress = "127.0.0.1:" + std::to_string(newPort);
    WriteFile("QuorvaneService.xml", SettingsDocument(config, tcpPort_, udpPort_));
    {
        PortHolder holder(SOCK_STREAM, newPort);
        ASSERT_TRUE(holder.IsHeld());
        for (int reload = 0; reload < 2; ++reload) {
            ASSERT_EQ(kill(pid_, SIGHUP), 0);
            EXPECT_EQ(manager.NextWith("READY=1"),
                      ReadyReport(tcpPort_, udpPort_,
                                  "0 users; last reload failed: metrics cannot listen on " + config.metricsAddress +
                                      ": Address already in use"));
            EXPECT_TRUE(scrapes(oldPort)) << reload;
        }
    }
    ASSERT_EQ(kill(pid_, SIGHUP), 0);
    EXPECT_EQ(manager.NextWith("READY=1"), ReadyReport(tcpPort_, udpPort_));
    EXPECT_TRUE(scrapes(newPort));
    EXPECT_FALSE(IsTcpListening(oldPort));
}

// A notification socket nobody reads (here one in the abstract namespace) holds nothing
// up: 400 reloads, and the server still answers pings and welcomes new clients. Once the
// socket is read again the watchdog is fed, and the latest state and status arrive.
TEST_F(ServiceRunTest, ANotificationSocketNobodyReadsHoldsNothingUp) {
    const std::string abstract = "@quorvane-test-notify-" + std::to_string(getpid());
    NotifySocket manager(abstract);
    LaunchUnderTheManager(abstract, ServerConfig(), "200000");
    WaitUntilListening(tcpPort_, udpPort_);
    TestUser ann;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    for (int i = 1; i <= 400; ++i) {
        ASSERT_EQ(kill(pid_, SIGHUP), 0);
        if (i % 40 != 0) continue;
        ann.tcp.Send("ping\r\n");
        ASSERT_FALSE(ann.tcp.Expect("pong", DEFAULT_TIMEOUT_MS).empty()) << i;
        TestUser newcomer;
        ASSERT_GT(Connect(newcomer), 0) << i;
    }
    std::vector<std::string> reports = manager.Drain();
    for (int watchdogs = 0; watchdogs < 2;) {
        const std::string report = manager.Next();
        ASSERT_FALSE(report.empty()) << "the watchdog starves";
        watchdogs += report == "WATCHDOG=1";
        reports.push_back(report);
    }
    std::string state;
    for (const std::string& report : reports)
        if (report.rfind("READY=1", 0) == 0 || report.rfind("RELOADING=1", 0) == 0) state = report;
    EXPECT_EQ(state, ReadyReport(tcpPort_, udpPort_, "1 user"));
}

TEST_F(ServiceRunTest, WatchdogIsFedFromTheMainLoop) {
    NotifySocket manager(PathOf("notify"));
    LaunchUnderTheManager(PathOf("notify"), ServerConfig(), "200000");
    ASSERT_EQ(manager.NextWith("READY=1"), ReadyReport(tcpPort_, udpPort_));
    EXPECT_EQ(manager.NextWith("WATCHDOG=1"), "WATCHDOG=1");
    // The status follows the users.
    TestUser ann;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    EXPECT_EQ(manager.NextWith("STATUS="),
              "STATUS=Running: TCP " + std::to_string(tcpPort_) + ", UDP " + std::to_string(udpPort_) + ", 1 user");
    // A loop that does not run feeds nothing (ten periods of 100 ms pass unfed).
    ASSERT_EQ(kill(pid_, SIGSTOP), 0);
    ASSERT_TRUE(testing_support::WaitFor([&] { return AllThreadsStopped(pid_); }, DEFAULT_TIMEOUT_MS));
    manager.Drain();
    EXPECT_EQ(manager.Next(1000), "");
    ASSERT_EQ(kill(pid_, SIGCONT), 0);
    EXPECT_EQ(manager.NextWith("WATCHDOG=1"), "WATCHDOG=1");
}

}  // namespace
}  // namespace test
}  // namespace quorvane
