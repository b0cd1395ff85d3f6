// quorvane-cli against the real server: scripted administrator and user sessions, a
// piped interactive session, file sharing, and the status and standard error of refusals.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::Param;

const char* const LOBBY = "<channel><name>Lobby</name><password></password><topic>Hi</topic><diskquota>1000000</diskquota></channel>";

class CliTest : public ServerFixture {
protected:
    void StartWith(const std::string& filesRoot = "") {
        ServerConfig config;
        config.staticChannels = LOBBY;
        config.adminEnabled = true;
        config.adminUsername = "root";
        config.adminPassword = "secret";
        config.filesRoot = filesRoot;
        StartServer(config);
    }

    RunResult Cli(std::vector<std::string> args, const std::string& password = "", const std::string& input = "") {
        args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(tcpPort_), "--udp-port",
                                   std::to_string(udpPort_)});
        return RunProgram(QUORVANE_CLI_BINARY, args, {"QUORVANE_PASSWORD=" + password}, input);
    }

    // A raw client in /Lobby/, to watch what the client's commands do.
    void JoinLobby(TestUser& user, const std::string& nickname) {
        ASSERT_TRUE(ConnectAndLogin(user, nickname));
        user.tcp.Send("join channel=\"/Lobby/\"\r\n");
        SkipUntil(user.tcp, "done");
    }
};

TEST_F(CliTest, AdministratorMakesAChannelBansKicksListsAndSaves) {
    StartWith();
    TestUser bob;
    JoinLobby(bob, "bob");

    RunResult run = Cli({"--admin", "root", "-c", "mkchan /Ops/ topic=Staff", "-c", "ban bob", "-c", "bans", "-c",
                         "kick bob", "-c", "save"},
                        "secret");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("127.0.0.1\t/Lobby/\tbob\t", 0), 0u) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_EQ(Param(SkipUntil(bob.tcp, "addchannel"), "channel"), "/Ops/");
    EXPECT_TRUE(bob.tcp.WaitClosed(DEFAULT_TIMEOUT_MS)) << "bob was not kicked";
    EXPECT_NE(ReadFile("QuorvaneService.xml").find("<name>Ops</name>"), std::string::npos) << "not saved";
    EXPECT_NE(ReadFile("BanList.xml").find("bob"), std::string::npos) << "ban not saved";

    // JSON rows, and a ban that is lifted leaves an empty list.
    run = Cli({"--admin", "root", "--json", "-c", "bans", "-c", "unban 127.0.0.1", "-c", "bans", "-c", "tree"},
              "secret");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("{\"address\":\"127.0.0.1\",\"channel\":\"/Lobby/\",\"nickname\":\"bob\",\"bantime\":\"", 0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("\n{\"kind\":\"channel\",\"channel\":\"/Ops/\",\"topic\":\"Staff\","), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("\"bob\"", run.out.find('\n')), std::string::npos) << "still banned: " << run.out;
}

TEST_F(CliTest, UserTalksToTheChannelAndToOneUserAndReadsTheStatistics) {
    StartWith();
    TestUser bob;
    JoinLobby(bob, "bob");

    const RunResult run = Cli({"--user", "ann", "-c", "join Lobby", "-c", "say hello all", "-c", "msg bob psst",
                               "-c", "stats", "-c", "tree"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Users online\t2\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("user\t/Lobby/\t2\tann\t0\t\n"), std::string::npos) << run.out;
    const std::string said = SkipUntil(bob.tcp, "messagedeliver");
    EXPECT_EQ(Param(said, "content"), "hello all");
    EXPECT_EQ(Param(said, "channel"), "/Lobby/");
    EXPECT_EQ(Param(SkipUntil(bob.tcp, "messagedeliver"), "content"), "psst");
}

TEST_F(CliTest, PipedPromptShowsTheServersLinesReadably) {
    StartWith();
    TestUser bob;
    JoinLobby(bob, "bob");

    const RunResult run = Cli({"--user", "zed"}, "", "join /Lobby/\nsay hi there\nnick zoe\ntree\nquit\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const char* text : {"Connected to Quorvane Server as zed.", "You joined /Lobby/\n", "bob (1) is in /Lobby/\n",
                             "[/Lobby/] you: hi there\n", "zed is now known as zoe\n", "    zoe (2) <- you\n"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << " not in:\n" << run.out;
    }
}

TEST_F(CliTest, UploadsAndDownloadsAFileOverItsOwnConnection) {
    const std::string root = PathOf("files");
    std::filesystem::create_directory(root);
    StartWith(root);
    std::string content;
    for (unsigned i = 0; i < 300000; ++i) content += static_cast<char>((i * 7919u) >> 3);
    WriteFile("song.bin", content);
    std::filesystem::create_directory(PathOf("out"));

    const RunResult run = Cli({"--user", "ann", "-c", "join /Lobby/", "-c", "upload " + PathOf("song.bin"), "-c",
                               "download song.bin " + PathOf("out"), "-c", "tree"});
    if (run.exitCode != 0 && run.err.find("Command not recognized") != std::string::npos) {
        GTEST_SKIP() << "this server has no file sharing yet";
    }
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "") << "no progress bar without a terminal";
    EXPECT_EQ(run.out, "song.bin\t300000\t/Lobby/\nsong.bin\t300000\t" + PathOf("out/song.bin") +
                           "\nchannel\t/\t\t0\t0\t\t0\nchannel\t/Lobby/\tHi\t0\t1\t\t1000000\nuser\t/Lobby/\t1\tann\t0\t\n"
                           "file\t/Lobby/\tsong.bin\t300000\n");
    EXPECT_TRUE(ReadFile(PathOf("out/song.bin")) == content) << "the download differs from the upload";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(PathOf("out")), {}), 1)
        << "a temporary file was left behind";
}

TEST_F(CliTest, RefusalsEndWithTheServersTextAndANonZeroStatus) {
    StartWith();
    const struct {
        std::vector<std::string> args;
        const char* password;
        int exitCode;
        const char* err;
    } cases[] = {
        {{"--user", "ann", "-c", "join /Lobby/", "-c", "rmchan /Lobby/", "-c", "leave"}, "", 1,
         "quorvane-cli: rmchan /Lobby/: Command requires administrator rights\n"},
        {{"--user", "ann", "-c", "kick 99"}, "", 1, "quorvane-cli: kick 99: No such user\n"},
        {{"--user", "ann", "-c", "say hi"}, "", 1, "quorvane-cli: say hi: join a channel first\n"},
        {{"--admin", "root", "-c", "bans"}, "wrong", 2, "quorvane-cli: login refused: Incorrect password\n"},
        {{"--admin", "root", "-c", "unban 10.1.1.1"}, "secret", 1, "quorvane-cli: unban 10.1.1.1: No such ban exists\n"},
    };
    for (const auto& c : cases) {
        const RunResult run = Cli(c.args, c.password);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.err;
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "") << c.err;
    }
    const RunResult usage = Cli({"--user", "a", "--admin", "b"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.err.find("excludes"), std::string::npos) << usage.err;
}

}  // namespace
}  // namespace test
}  // namespace quorvane
