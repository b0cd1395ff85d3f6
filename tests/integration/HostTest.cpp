// The program around the server: command line, settings file at start-up, start-up
// failures with their exit codes and messages, and the stop signals.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include <tinyxml.h>

#include "PortHolder.h"
#include "ServerFixture.h"
#include "settings/QuorvaneSettings.h"

namespace quorvane {
namespace test {
namespace {

const char* const LAUNCH_ADVICE = ".\r\nMake sure the ports are not currently in use.";

// A document as TinyXML prints it, so that two layouts of one tree compare equal.
std::string Canonical(const std::string& xml) {
    TiXmlDocument document;
    document.Parse(xml.c_str());
    EXPECT_FALSE(document.Error()) << document.ErrorDesc() << " in: " << xml;
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

std::string CanonicalDirectory(const std::string& dir) { return std::filesystem::canonical(dir).string(); }

class HostTest : public ServerFixture {};

TEST_F(HostTest, CommandLineFollowsLinuxConventions) {
    const RunResult help = RunBinary({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    const std::string usage = help.out;
    EXPECT_EQ(usage.rfind("Usage: quorvane-server ", 0), 0u) << usage;
    for (const char* word : {"NT-service", "SCM", "Log on as a service", "User-Manager", "Domain", "\r"}) {
        EXPECT_EQ(usage.find(word), std::string::npos) << word;
    }
    const RunResult version = RunBinary({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("quorvane-server ", 0), 0u) << version.out;
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;

    // What an unknown option or a stray argument prints on standard error, then exit 2.
    const auto refused = [&](const std::string& why) { return "quorvane-server: " + why + "\n\n" + usage; };
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"-h"}, 0, usage, ""},
        {{"-?"}, 0, usage, ""},
        {{"/h"}, 0, usage, ""},
        // Help wins over options before and after it; none of them runs.
        {{"-l", "account", "--help", "-d"}, 0, usage, ""},
        {{"-x"}, 2, "", refused("unknown option -x")},
        {{"--verbose"}, 2, "", refused("unknown option --verbose")},
        {{"-help"}, 2, "", refused("unknown option -help")},
        {{"start"}, 2, "", refused("unexpected argument \"start\"")},
        // Checked whole before anything runs, so not even a run in the console starts.
        {{"-d", "extra"}, 2, "", refused("unexpected argument \"extra\"")},
        {{"-h", "-x"}, 2, "", refused("unknown option -x")},
        {{"-i", "-l"}, 2, "", refused("option -l needs a value")},
        {{"--check="}, 2, "", refused("option --check= needs a file")},
        {{"-d", "--data-dir"}, 2, "", refused("option --data-dir needs a value")},
        {{"--check", "file", "extra"}, 2, "", refused("unexpected argument \"extra\"")},
    };
    for (const Case& c : cases) {
        const std::string label = c.args.front() + " ... " + c.args.back();
        const RunResult run = RunBinary(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << label;
        EXPECT_EQ(run.out, c.out) << label;
        EXPECT_EQ(run.err, c.err) << label;
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("QuorvaneService.xml")));
}

TEST_F(HostTest, ServiceManagementActionsAreRefusedWithoutRunningTheServer) {
    // The fixture's unit directory does not exist: every action fails at its first step.
    const std::pair<const char*, const char*> actions[] = {
        {"-i", "install"}, {"-u", "remove"}, {"-e", "stop"}, {"-s", "start"}};
    for (const auto& action : actions) {
        const RunResult run = RunBinary({"-lme", "-p", "secret", action.first});
        EXPECT_EQ(run.exitCode, 1) << action.first;
        EXPECT_EQ(run.out, std::string("Unable to ") + action.second + " Quorvane Server - " + PathOf("no-unit-dir") +
                               ": No such file or directory\n")
            << action.first;
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("QuorvaneService.xml")));
}

TEST_F(HostTest, FirstStartWritesTheDefaultSettingsFile) {
    // Holding the default ports on loopback makes the wildcard bind fail, so the test
    // never listens on every address and does not depend on the ports being free.
    PortHolder tcp(SOCK_STREAM, 10300);
    PortHolder udp(SOCK_DGRAM, 10301);
    if (!tcp.IsHeld() || !udp.IsHeld()) {
        GTEST_SKIP() << "ports 10300/10301 are in use on this machine";
    }
    const RunResult run = RunBinary({"-d"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "Debugging Quorvane Server.\n");
    EXPECT_NE(run.err.find(std::string("Unable to launch server using TCP port 10300 UDP port 10301") + LAUNCH_ADVICE),
              std::string::npos)
        << run.err;

    const std::string written = ReadFile("QuorvaneService.xml");
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(Canonical(written), Canonical(QuorvaneSettings::DefaultDocument()));

    // The file the server wrote is what it starts from next time.
    TiXmlDocument document;
    ASSERT_TRUE(document.LoadFile(PathOf("QuorvaneService.xml").c_str()));
    TiXmlElement* hosting = document.RootElement()->FirstChildElement("hosting");
    ASSERT_NE(hosting, nullptr);
    tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    const std::pair<const char*, std::string> changes[] = {
        {"hostport", std::to_string(tcpPort_)},
        {"soundport", std::to_string(udpPort_)},
        {"bind-ip", "127.0.0.1"},
    };
    for (const auto& change : changes) {
        TiXmlElement element(change.first);
        element.InsertEndChild(TiXmlText(change.second));
        hosting->ReplaceChild(hosting->FirstChildElement(change.first), element);
    }
    ASSERT_TRUE(document.SaveFile());
    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
    TestUser user;
    Connect(user);
    EXPECT_EQ(testing_support::Param(user.welcome, "servername"), "Quorvane Server");
}

TEST_F(HostTest, BrokenSettingsFileEndsStartUp) {
    const std::string broken = "<?xml version=\"1.0\"?><quorvane><hosting><motd>x</hosting>";
    WriteFile("QuorvaneService.xml", broken);
    QuorvaneSettings reference;
    ASSERT_FALSE(reference.LoadXMLFile(PathOf("QuorvaneService.xml")));

    const RunResult run = RunBinary({"-d"});
    EXPECT_EQ(run.exitCode, 2);
    const std::string message = "Quorvane service failed to read settings file: " + CanonicalDirectory(dir_) +
                                "/QuorvaneService.xml. " + reference.GetErrorText();
    EXPECT_NE(run.err.find(message + "\n"), std::string::npos) << run.err;
    // Nothing was rewritten.
    EXPECT_EQ(ReadFile("QuorvaneService.xml"), broken);
}

TEST_F(HostTest, InvalidBindAddressEndsStartUp) {
    const int tcpPort = testing_support::FreePort(SOCK_STREAM);
    const int udpPort = testing_support::FreePort(SOCK_DGRAM);
    for (const char* address :
         {"255.255.255.255", "127.0.0.256", "localhost", "1::2::3", "::ffff:127.0.0.1", "::1%no-such-interface"}) {
        ServerConfig config;
        config.bindIp = address;
        WriteFile("QuorvaneService.xml", SettingsDocument(config, tcpPort, udpPort));
        const RunResult run = RunBinary({"-d"});
        EXPECT_EQ(run.exitCode, 2) << address;
        EXPECT_NE(run.err.find("This specified IP-address to bind to is invalid.\n"), std::string::npos)
            << address << ": " << run.err;
    }
}

TEST_F(HostTest, PortInUseEndsStartUp) {
    const int tcpPort = testing_support::FreePort(SOCK_STREAM);
    const int udpPort = testing_support::FreePort(SOCK_DGRAM);
    PortHolder taken(SOCK_STREAM, tcpPort);
    ASSERT_TRUE(taken.IsHeld());
    WriteFile("QuorvaneService.xml", SettingsDocument(ServerConfig(), tcpPort, udpPort));

    const RunResult run = RunBinary({"-d"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("Unable to launch server using IP-address 127.0.0.1 TCP port " + std::to_string(tcpPort) +
                           " UDP port " + std::to_string(udpPort) + LAUNCH_ADVICE + "\n"),
              std::string::npos)
        << run.err;
    // The UDP side was given back when the TCP side failed.
    EXPECT_FALSE(IsUdpBound(udpPort));
}

TEST_F(HostTest, ConsoleStopSignals) {
    StartServer();
    EXPECT_EQ(StopServer(SIGTERM), EXIT_CLEAN_STOP);
    EXPECT_EQ(ServerOutput(), "Debugging Quorvane Server.\nStopping Quorvane Server.\n");
    EXPECT_FALSE(IsTcpListening(tcpPort_));

    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
    EXPECT_EQ(StopServer(SIGQUIT), EXIT_CLEAN_STOP);
    EXPECT_EQ(ServerOutput(), "Debugging Quorvane Server.\nStopping Quorvane Server.\n");
    // The SIGINT of the fixture's tear-down is the third signal.
    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
}

TEST_F(HostTest, StopDuringStartUpEndsTheServiceAfterTheStart) {
    tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    WriteFile("QuorvaneService.xml", SettingsDocument(ServerConfig(), tcpPort_, udpPort_));
    Launch();
    // The greeting comes as soon as stop signals are handled, before the server starts.
    ASSERT_TRUE(testing_support::WaitFor([&] { return !ServerOutput().empty(); }, DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(StopServer(SIGINT), EXIT_CLEAN_STOP);
    EXPECT_EQ(ServerOutput(), "Debugging Quorvane Server.\nStopping Quorvane Server.\n");
}

TEST_F(HostTest, FacelessRunsStopQuietlyOnTheirSignals) {
    tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    WriteFile("QuorvaneService.xml", SettingsDocument(ServerConfig(), tcpPort_, udpPort_));
    // No option at all means a faceless run, as -f does.
    const std::pair<std::vector<std::string>, int> runs[] = {{{}, SIGTERM}, {{"-f"}, SIGHUP}, {{"/f"}, SIGINT}};
    for (const auto& run : runs) {
        Launch(run.first);
        WaitUntilListening(tcpPort_, udpPort_);
        EXPECT_EQ(StopServer(run.second), EXIT_CLEAN_STOP) << run.second;
        EXPECT_EQ(ServerOutput(), "") << run.second;
    }
}

TEST_F(HostTest, ServerLoggingAppendsToTheLogFile) {
    WriteFile("QuorvaneService.log", "earlier run\n");
    ServerConfig config;
    config.serverLogging = true;
    StartServer(config);
    EXPECT_EQ(StopServer(SIGINT), EXIT_CLEAN_STOP);
    EXPECT_EQ(ReadFile("QuorvaneService.log").compare(0, 12, "earlier run\n"), 0);
}

TEST_F(HostTest, StaticChannelsOfTheSettingsFileExistFromTheStart) {
    ServerConfig config;
    config.rootTopic = "Welcome all";
    config.staticChannels =
        "<channel><name>Lobby</name><password></password><topic>Chat</topic>"
        "<diskquota>100</diskquota>"
        "<channel><name>Quiet</name><password>pw</password><topic></topic></channel>"
        "</channel>"
        "<channel><name>Games</name><topic>Play</topic></channel>"
        "<channel><topic>no name: skipped with its sub-channels</topic>"
        "<channel><name>Lost</name></channel></channel>";
    StartServer(config);
    TestUser user;
    Connect(user);
    SayHello(user);
    EXPECT_EQ(CommandWord(SendLogin(user, "ann")), "accepted");
    // The tree breadth first: each channel before its sub-channels.
    const std::string expected[][4] = {
        // channel, protected, topic, diskquota
        {"/", "0", "Welcome all", "0"},
        {"/Lobby/", "0", "Chat", "100"},
        {"/Games/", "0", "Play", "0"},
        {"/Lobby/Quiet/", "1", "", "0"},
    };
    for (const auto& channel : expected) {
        EXPECT_EQ(NextLine(user.tcp), "addchannel channel=\"" + channel[0] + "\" protected=" + channel[1] +
                                          " topic=\"" + channel[2] +
                                          "\" operators=[] usercount=0 diskquota=" + channel[3]);
    }
    EXPECT_EQ(NextLine(user.tcp), "done");
}

}  // namespace
}  // namespace test
}  // namespace quorvane

namespace quorvane {
namespace test {
namespace {

// A stopped and continued server (a debugger, Ctrl+Z, a paused container) goes on serving:
// the interrupted waits of both loops are waited again.
TEST_F(HostTest, AStoppedAndContinuedServerStillServes) {
    StartServer();
    TestUser before;
    ASSERT_TRUE(ConnectAndLogin(before, "before"));
    ASSERT_EQ(kill(pid_, SIGSTOP), 0);
    ASSERT_EQ(kill(pid_, SIGCONT), 0);
    TestUser after;
    ASSERT_TRUE(ConnectAndLogin(after, "after"));
    before.tcp.Send("ping\r\n");
    EXPECT_EQ(SkipUntil(before.tcp, "pong"), "pong");
    EXPECT_TRUE(before.udp.SendTo(udpPort_, HeaderPacketBytes(3, before.id)));
    std::string answer;
    EXPECT_TRUE(before.udp.Receive(answer, DEFAULT_TIMEOUT_MS));
}

}  // namespace
}  // namespace test
}  // namespace quorvane

namespace quorvane {
namespace test {
namespace {

// Given a state directory by systemd, the server keeps its files there and makes a
// relative files root in it; the start line names ports, files root and voice thread.
TEST_F(HostTest, StateDirectoryHoldsEveryFile) {
    const std::string state = PathOf("state");
    ASSERT_EQ(mkdir(state.c_str(), 0750), 0);
    tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    ServerConfig config;
    config.filesRoot = "files";
    config.serverLogging = true;
    WriteFile("state/QuorvaneService.xml", SettingsDocument(config, tcpPort_, udpPort_));
    setenv("STATE_DIRECTORY", (state + ":" + PathOf("second")).c_str(), 1);
    Launch();
    unsetenv("STATE_DIRECTORY");
    WaitUntilListening(tcpPort_, udpPort_);
    for (const char* name : {"BanList.xml", "FilesList.xml", "QuorvaneService.log", "files"}) {
        EXPECT_TRUE(std::filesystem::exists(state + "/" + name)) << name;
        EXPECT_FALSE(std::filesystem::exists(PathOf(name))) << name;
    }
    const std::string prefix = "Quorvane Server started: TCP " + std::to_string(tcpPort_) + " and UDP " +
                               std::to_string(udpPort_) + " on 127.0.0.1, files root " + state +
                               "/files, voice thread: ";
    std::string errors;
    ASSERT_TRUE(testing_support::WaitFor([&] { return (errors = ServerErrors()).find(prefix) != std::string::npos; },
                                         DEFAULT_TIMEOUT_MS))
        << errors;
    EXPECT_NE(errors.find("Created the files root " + state + "/files.\n"), std::string::npos) << errors;
    // Real-time priority either way, and what the voice thread got.
    const bool realTime = errors.find(prefix + "real-time priority 1 (SCHED_FIFO)") != std::string::npos;
    const bool refused = errors.find(prefix + "ordinary scheduling (real-time priority refused") != std::string::npos;
    EXPECT_TRUE(realTime != refused) << errors;
}

// A files root the server cannot write would fail every upload, one by one, silently.
TEST_F(HostTest, UnwritableFilesRootIsReportedAtStart) {
    const std::string files = PathOf("files");
    ASSERT_EQ(mkdir(files.c_str(), 0755), 0);
    // Read-only even for root: a bind mount of its own in a mount namespace.
    WriteFile("read-only.sh",
              "#!/bin/sh\n"
              "d=$(dirname \"$0\")\n"
              "exec unshare --mount --propagation private sh -c '\n"
              "  d=$1; shift\n"
              "  mount --bind \"$d/files\" \"$d/files\" && mount -o remount,bind,ro \"$d/files\" || exit 97\n"
              "  exec \"$d/quorvane-server\" \"$@\"' sh \"$d\" \"$@\" || exit 97\n");
    ASSERT_EQ(chmod(PathOf("read-only.sh").c_str(), 0755), 0);
    binary_ = PathOf("read-only.sh");
    const RunResult probe = RunBinary({"-h"});
    if (probe.exitCode != 0) {
        GTEST_SKIP() << "no mount namespace for a read-only files root: " << probe.err;
    }
    ServerConfig config;
    config.filesRoot = files;
    config.serverLogging = true;
    StartServer(config);
    const std::string message =
        "The files root " + files + " cannot be written (Read-only file system): every upload will fail.";
    const std::string errors = ServerErrors();
    EXPECT_NE(errors.find(message), std::string::npos) << errors;
    EXPECT_NE(ReadFile("QuorvaneService.log").find(message), std::string::npos);
}

}  // namespace
}  // namespace test
}  // namespace quorvane
