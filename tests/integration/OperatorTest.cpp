// What an operator runs beside the server: --check of a settings file, the data
// directory (--data-dir, and nothing written beside a program under /usr), GET /health,
// and the settings file's manual page.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "PortHolder.h"
#include "ServerFixture.h"
#include "settings/SettingsTable.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::FreePort;

const char* const FILES[] = {"QuorvaneService.xml", "BanList.xml", "FilesList.xml", "QuorvaneService.log", "files"};

class OperatorTest : public ServerFixture {
protected:
    bool Exists(const std::string& name) const { return std::filesystem::exists(PathOf(name)); }
};

TEST_F(OperatorTest, CheckTellsEachProblemWithItsLineAndExitsAsAStartWould) {
    const int tcpPort = FreePort(SOCK_STREAM), udpPort = FreePort(SOCK_DGRAM);
    const std::string fine = SettingsDocument(ServerConfig(), tcpPort, udpPort);
    ServerConfig channels;
    channels.staticChannels =
        "\n<channel><name>a</name></channel>\n<channel><name>a</name></channel>\n"
        "<channel><name>x/y</name></channel>";
    PortHolder held(SOCK_STREAM, tcpPort);
    ASSERT_TRUE(held.IsHeld());
    const std::string file = PathOf("check.xml");
    const std::string mainPid = "MAINPID=" + std::to_string(getpid());
    struct Case {
        std::string document;  // written to check.xml; empty: none
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exitCode;
        std::string err;  // every line of standard error, in order
        std::string out;
    };
    const std::string hosting = "<?xml version=\"1.0\"?>\n<quorvane>\n<hosting>\n";
    const Case cases[] = {
        // A port in use is a warning (the old server may hold it); under a reload's
        // $MAINPID the ports are the running server's and are not tried.
        {fine,
         {"--check", file},
         {},
         0,
         "Warning: TCP port " + std::to_string(tcpPort) + " in use: the start fails unless it is free by then.\n",
         file + ": the server would start from it (1 warning).\n"},
        {fine, {"--check=" + file}, {mainPid}, 0, "", file + ": the server would start from it.\n"},
        // Every problem with its line; an invalid file is not probed further.
        {hosting + "<password-lockout>ten</password-lockout>\n<comand-rate>3</comand-rate>\n</hosting></quorvane>",
         {"--check", file},
         {},
         2,
         "Quorvane service found an invalid setting in " + file +
             ", line 4: password-lockout is \"ten\"; it must be a number from 0 to 2147483647.\n"
             "Warning: Quorvane service found an unknown setting in " +
             file +
             ", line 5: comand-rate is no setting of this server (command-rate?); it is kept in the file and has no "
             "effect.\n",
         file + ": the server would not start from it (1 problem).\n"},
        {hosting + "<motd>x</hosting>",
         {"--check", file},
         {},
         2,
         "Quorvane service failed to read settings file: ",
         file + ": the server would not start from it (1 problem).\n"},
        // Static channels the start would skip, each where it stands.
        {SettingsDocument(channels, tcpPort, udpPort),
         {"--check", file},
         {mainPid},
         0,
         "Warning: Quorvane service could not make the static channel /a/ (" + file +
             ", line 3): Channel already exists. It stays in the settings file.\n"
             "Warning: Quorvane service could not make the static channel /x/y/ (" +
             file + ", line 4): The name holds a \"/\". It stays in the settings file.\n",
         file + ": the server would start from it (2 warnings).\n"},
        // The file the server would use: missing is the first start's defaults.
        {"",
         {"--check"},
         {mainPid},
         0,
         "",
         PathOf("QuorvaneService.xml") +
             " does not exist: the first start writes it with the defaults, checked here.\n" +
             PathOf("QuorvaneService.xml") + ": the server would start from it.\n"},
        {"",
         {"--check", file},
         {},
         2,
         "Quorvane service failed to read settings file: " + file,
         file + ": the server would not start from it (1 problem).\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(file);
        if (!c.document.empty()) WriteFile("check.xml", c.document);
        const RunResult run = RunProgram(binary_, c.args, c.env);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.document;
        EXPECT_EQ(run.err.compare(0, c.err.size(), c.err), 0) << run.err;
        if (c.err.empty() || c.err.back() == '\n') {
            EXPECT_EQ(run.err, c.err);
        }
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(c.document.empty() ? "" : ReadFile("check.xml"), c.document) << "the check writes nothing";
    }
    for (const char* name : FILES) EXPECT_FALSE(Exists(name)) << name;
}

TEST_F(OperatorTest, DataDirectoryHoldsEveryFileAndNothingIsWrittenBesideAProgramUnderUsr) {
    ASSERT_EQ(mkdir(PathOf("data").c_str(), 0750), 0);
    tcpPort_ = FreePort(SOCK_STREAM);
    udpPort_ = FreePort(SOCK_DGRAM);
    ServerConfig config;
    config.filesRoot = "files";
    config.serverLogging = true;
    WriteFile("data/QuorvaneService.xml", SettingsDocument(config, tcpPort_, udpPort_));
    // Relative to the directory the program starts in (the fixture's: "/").
    Launch({"--data-dir", dir_.substr(1) + "/data", "-d"});
    WaitUntilListening(tcpPort_, udpPort_);
    for (const char* name : FILES) {
        EXPECT_TRUE(Exists(std::string("data/") + name)) << name;
        EXPECT_FALSE(Exists(name)) << name;
    }
    EXPECT_EQ(StopServer(), EXIT_CLEAN_STOP);
    const RunResult missing = RunBinary({"-d", "--data-dir", PathOf("none")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("The data directory " + PathOf("none") + " cannot be used: No such file or directory."),
              std::string::npos)
        << missing.err;

    // The program under /usr (this directory bound there in a mount namespace of its own).
    WriteFile("under-usr.sh",
              "#!/bin/sh\n"
              "d=$(dirname \"$0\")\n"
              "exec unshare --mount --propagation private sh -c '\n"
              "  mount --bind \"$1\" /usr/local/src || exit 97\n"
              "  shift; exec /usr/local/src/quorvane-server \"$@\"' sh \"$d\" \"$@\"\n");
    ASSERT_EQ(chmod(PathOf("under-usr.sh").c_str(), 0755), 0);
    const RunResult probe = RunProgram(PathOf("under-usr.sh"), {"--version"}, {});
    if (probe.exitCode != 0) GTEST_SKIP() << "no mount namespace to place the program under /usr: " << probe.err;
    const std::string refusal =
        "The program lies in /usr/local/src, where it writes nothing: name its data "
        "directory, for example quorvane-server --data-dir /srv/quorvane -d.\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-d"}, std::vector<std::string>{"--check"}}) {
        const RunResult run = RunProgram(PathOf("under-usr.sh"), args, {});
        EXPECT_EQ(run.exitCode, 2) << args[0];
        EXPECT_NE(run.err.find(refusal), std::string::npos) << run.err;
    }
    const RunResult told = RunProgram(PathOf("under-usr.sh"), {"--check", "--data-dir", PathOf("data")}, {});
    EXPECT_EQ(told.exitCode, 0) << told.err;
    for (const char* name : FILES) EXPECT_FALSE(Exists(name)) << name;
}

TEST_F(OperatorTest, HealthIsTheRunningStatusWhileTheMainLoopAnswers) {
    const int metricsPort = FreePort(SOCK_STREAM);
    ServerConfig config;
    config.metricsAddress = "127.0.0.1:" + std::to_string(metricsPort);
    StartServer(config);
    TestUser ann;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    std::string answer;
    const std::string expected = "HTTP/1.1 200 OK\r\n";
    const std::string body =
        "\r\n\r\nRunning: TCP " + std::to_string(tcpPort_) + ", UDP " + std::to_string(udpPort_) + ", 1 user\n";
    EXPECT_TRUE(testing_support::WaitFor(
        [&] {
            testing_support::LineClient http;
            if (!http.Connect(metricsPort, DEFAULT_TIMEOUT_MS)) return false;
            http.Send("GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            answer.clear();
            std::string chunk;
            while (http.ReadSome(4096, chunk, DEFAULT_TIMEOUT_MS)) answer += chunk;
            return answer.compare(0, expected.size(), expected) == 0 &&
                   answer.compare(answer.size() - std::min(answer.size(), body.size()), body.size(), body) == 0;
        },
        DEFAULT_TIMEOUT_MS))
        << answer;
}

// The settings file's page names every setting of the table, and groff reads it without a warning.
TEST_F(OperatorTest, SettingsManualNamesEverySetting) {
    const RunResult made = RunProgram(QUORVANE_SETTINGS_MANUAL_BINARY, {PathOf("page.5")}, {});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string page = ReadFile("page.5");
    for (const SettingRow& row : SettingsTable::ROWS) {
        std::string name;
        for (const char* c = row.element; *c != '\0'; ++c) name += *c == '-' ? std::string("\\-") : std::string(1, *c);
        const std::string entry = row.context == SettingRow::RETIRED ? "\\fB" + name + "\\fR" : "\n.B " + name + "\n";
        EXPECT_NE(page.find(entry), std::string::npos) << row.element;
    }
    if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "groff is not installed";
    const RunResult groff = RunProgram("/usr/bin/groff", {"-man", "-Tutf8", "-ww", "-z", PathOf("page.5")}, {});
    EXPECT_EQ(groff.exitCode, 0);
    EXPECT_EQ(groff.err, "");
}

}  // namespace
}  // namespace test
}  // namespace quorvane
