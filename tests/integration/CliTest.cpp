// quorvane-cli against the real server: scripted administrator and user sessions,
// commands piped in, JSON rows, file sharing, and the status and standard error of refusals.
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "CliFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::Param;

class CliTest : public CliFixture {};

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
    run =
        Cli({"--admin", "root", "--json", "-c", "bans", "-c", "unban 127.0.0.1", "-c", "bans", "-c", "tree"}, "secret");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(
        run.out.rfind("{\"address\":\"127.0.0.1\",\"channel\":\"/Lobby/\",\"nickname\":\"bob\",\"bantime\":\"", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("\n{\"kind\":\"channel\",\"channel\":\"/Ops/\",\"topic\":\"Staff\","), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("\"bob\"", run.out.find('\n')), std::string::npos) << "still banned: " << run.out;
}

TEST_F(CliTest, AdministratorSeesEveryConnectionAndTheAddressOfEachUser) {
    StartWith();
    TestUser bob, guest;
    JoinLobby(bob, "bob");
    Connect(guest);  // connected, never logged in

    RunResult run = Cli({"--admin", "root", "-c", "who"}, "secret");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(std::regex_replace(run.out, std::regex("\t[0-9]+\n"), "\t#\n"),
              "1\tbob\t127.0.0.1\t/Lobby/\t1\t0\t#\n2\t\t127.0.0.1\t\t0\t0\t#\n3\t\t127.0.0.1\t\t1\t1\t#\n");
    run = Cli({"--admin", "root", "--json", "-c", "tree"}, "secret");
    EXPECT_NE(run.out.find("{\"kind\":\"user\",\"channel\":\"/Lobby/\",\"userid\":1,\"nickname\":\"bob\","
                           "\"statusmode\":0,\"statusmessage\":\"\",\"address\":\"127.0.0.1\"}\n"),
              std::string::npos)
        << run.out;
}

TEST_F(CliTest, UserTalksToTheChannelAndToOneUserAndReadsTheStatistics) {
    StartWith();
    TestUser bob;
    JoinLobby(bob, "bob");

    const RunResult run = Cli({"--user", "ann", "-c", "join Lobby", "-c", "say hello all", "-c", "msg bob psst", "-c",
                               "stats", "-c", "tree"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("users_online\t2\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("user\t/Lobby/\t2\tann\t0\t\n"), std::string::npos) << run.out;
    const std::string said = SkipUntil(bob.tcp, "messagedeliver");
    EXPECT_EQ(Param(said, "content"), "hello all");
    EXPECT_EQ(Param(said, "channel"), "/Lobby/");
    EXPECT_EQ(Param(SkipUntil(bob.tcp, "messagedeliver"), "content"), "psst");
}

TEST_F(CliTest, PipedInputRunsExactlyLikeCommandOptions) {
    StartWith();
    TestUser bob;
    JoinLobby(bob, "bob");

    // The same commands, as -c options and as lines on standard input: the same rows,
    // no banner, no server lines; the first refusal stops the rest.
    const std::vector<std::string> commands = {"join /Lobby/", "say hi there", "nick zoe",    "stats",
                                               "tree",         "kick 99",      "say not sent"};
    std::vector<std::string> args = {"--user", "zed"};
    std::string input;
    for (const std::string& command : commands) {
        args.insert(args.end(), {"-c", command});
        input += command + "\n";
    }
    const RunResult options = Cli(args);
    const RunResult piped = Cli({"--user", "zed"}, "", input);
    EXPECT_NE(options.out.find("users_online\t2\n"), std::string::npos) << options.out;
    for (const RunResult* run : {&options, &piped}) {
        EXPECT_EQ(run->exitCode, 1) << run->err;
        EXPECT_EQ(run->err, "quorvane-cli: kick 99: No such user\n");
        EXPECT_NE(run->out.find("user\t/Lobby/\t1\tbob\t0\t\n"), std::string::npos) << run->out;
    }
    // The rows differ only in numbers (user ids, uptime, users served).
    const auto shape = [](const std::string& out) {
        std::string masked;
        for (char c : out) {
            if (c < '0' || c > '9') masked += c;
            else if (masked.empty() || masked.back() != '#') masked += '#';
        }
        return masked;
    };
    EXPECT_EQ(shape(piped.out), shape(options.out));
    bob.tcp.Send("message type=2 channel=\"/Lobby/\" content=\"end\"\r\n");
    EXPECT_EQ(MessagesUntil(bob, "end"), (std::vector<std::string>{"hi there", "hi there"}));
}

TEST_F(CliTest, JsonRowsHoldNumbersAndBooleans) {
    StartWith();
    const RunResult run = Cli({"--user", "ann", "--json", "-c", "join /Lobby/", "-c", "tree", "-c", "stats"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind(
                  "{\"kind\":\"channel\",\"channel\":\"/\",\"topic\":\"\",\"protected\":false,\"usercount\":0,"
                  "\"operators\":[],\"diskquota\":0}\n"
                  "{\"kind\":\"channel\",\"channel\":\"/Lobby/\",\"topic\":\"Hi\",\"protected\":false,\"usercount\":1,"
                  "\"operators\":[],\"diskquota\":1000000}\n"
                  "{\"kind\":\"user\",\"channel\":\"/Lobby/\",\"userid\":1,\"nickname\":\"ann\",\"statusmode\":0,"
                  "\"statusmessage\":\"\"}\n"
                  "{\"name\":\"uptime_seconds\",\"value\":",
                  0),
              0u)
        << run.out;
    for (const char* row : {"{\"name\":\"users_online\",\"value\":1}\n", "{\"name\":\"users_served\",\"value\":1}\n",
                            "{\"name\":\"users_peak\",\"value\":1}\n", "{\"name\":\"voice_tx_kib\",\"value\":0}\n",
                            "{\"name\":\"voice_rx_kib\",\"value\":0}\n", "{\"name\":\"file_transfers\",\"value\":0}\n",
                            "{\"name\":\"uploads\",\"value\":0}\n", "{\"name\":\"downloads\",\"value\":0}\n"}) {
        EXPECT_NE(run.out.find(row), std::string::npos) << row << " not in:\n" << run.out;
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
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "") << "no progress bar without a terminal";
    EXPECT_EQ(run.out,
              "song.bin\t300000\t/Lobby/\nsong.bin\t300000\t" + PathOf("out/song.bin") +
                  "\nchannel\t/\t\t0\t0\t\t0\nchannel\t/Lobby/\tHi\t0\t1\t\t1000000\nuser\t/Lobby/\t1\tann\t0\t\n"
                  "file\t/Lobby/\tsong.bin\t300000\n");
    EXPECT_TRUE(ReadFile(PathOf("out/song.bin")) == content) << "the download differs from the upload";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(PathOf("out")), {}), 1)
        << "a temporary file was left behind";
}

// The README's first session on the settings ./run.sh writes: a join makes the channel,
// the upload is in the tree at once, the download and the messages arrive.
TEST_F(CliTest, TheFirstSessionWorksOnTheQuickStartSettings) {
    tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    std::vector<std::string> args = {PathOf("QuorvaneService.xml"), "bind-ip=127.0.0.1",
                                     "hostport=" + std::to_string(tcpPort_), "soundport=" + std::to_string(udpPort_)};
    std::ifstream quickStart(std::string(QUORVANE_SOURCE_DIR) + "/scripts/quick-start.settings");
    for (std::string line; std::getline(quickStart, line);)
        if (!line.empty() && line[0] != '#') args.push_back(line);
    const RunResult written = RunProgram(QUORVANE_FIRST_SETTINGS_BINARY, args, {});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
    TestUser bob;
    JoinLobby(bob, "bob");
    WriteFile("notes.txt", "see you at five\n");

    const RunResult run =
        Cli({"--user", "ann", "-c", "join /Lobby/", "-c", "upload " + PathOf("notes.txt"), "-c", "tree", "-c",
             "download notes.txt " + PathOf("copy.txt"), "-c", "say hello", "-c", "msg bob see you"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("notes.txt\t16\t/Lobby/\nchannel\t/\t"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("file\t/Lobby/\tnotes.txt\t16\nnotes.txt\t16\t" + PathOf("copy.txt")), std::string::npos)
        << "the upload is not in the tree right after it: " << run.out;
    EXPECT_EQ(ReadFile("copy.txt"), "see you at five\n");
    EXPECT_EQ(MessagesUntil(bob, "see you"), std::vector<std::string>{"hello"});
}

TEST_F(CliTest, EmptyFilesGoBothWaysAndDownloadsReplaceOnlyWithForce) {
    const std::string root = PathOf("files");
    std::filesystem::create_directory(root);
    StartWith(root);
    WriteFile("empty.txt", "");
    WriteFile("kept.txt", "mine");
    const std::string kept = PathOf("kept.txt");

    RunResult run = Cli({"--user", "ann", "-c", "join /Lobby/", "-c", "upload " + PathOf("empty.txt"), "-c",
                         "download empty.txt " + PathOf("copy.txt"), "-c", "download empty.txt " + kept});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "empty.txt\t0\t/Lobby/\nempty.txt\t0\t" + PathOf("copy.txt") + "\n");
    EXPECT_EQ(run.err,
              "quorvane-cli: download empty.txt " + kept + ": " + kept + " exists; give --force to replace it\n");
    EXPECT_TRUE(std::filesystem::exists(PathOf("copy.txt")));
    EXPECT_EQ(ReadFile("kept.txt"), "mine");

    run = Cli({"--user", "ann", "--json", "-c", "join /Lobby/", "-c", "download --force empty.txt " + kept});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "{\"filename\":\"empty.txt\",\"filesize\":0,\"path\":\"" + kept + "\"}\n");
    EXPECT_EQ(ReadFile("kept.txt"), "");
}

TEST_F(CliTest, RefusalsEndWithTheServersTextAndANonZeroStatus) {
    StartWith();
    const struct {
        std::vector<std::string> args;
        const char* password;
        int exitCode;
        const char* err;
    } cases[] = {
        {{"--user", "ann", "-c", "join /Lobby/", "-c", "rmchan /Lobby/", "-c", "leave"},
         "",
         1,
         "quorvane-cli: rmchan /Lobby/: Command requires administrator rights\n"},
        {{"--user", "ann", "-c", "kick 99"}, "", 1, "quorvane-cli: kick 99: No such user\n"},
        {{"--user", "ann", "-c", "who"}, "", 1, "quorvane-cli: who: Command requires administrator rights\n"},
        {{"--user", "ann", "-c", "say hi"}, "", 1, "quorvane-cli: say hi: join a channel first\n"},
        {{"--admin", "root", "-c", "bans"}, "wrong", 2, "quorvane-cli: login refused: Incorrect password\n"},
        {{"--admin", "root", "-c", "unban 10.1.1.1"},
         "secret",
         1,
         "quorvane-cli: unban 10.1.1.1: No such ban exists\n"},
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
