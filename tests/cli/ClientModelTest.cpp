// The client's model of the tree, its output formats, the progress bar's text and the
// bound on a server line.
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "ChannelTree.h"
#include "LineConnection.h"
#include "Output.h"
#include "ProgressBar.h"

namespace quorvane {
namespace cli {
namespace {

ChannelTree Applied(std::initializer_list<const char*> lines, bool administrator = false) {
    ChannelTree tree;
    tree.administrator = administrator;
    for (const char* line : lines) tree.Apply(line);
    return tree;
}

const char* const LOGIN[] = {
    "accepted userid=3 nickname=\"me\"",
    "addchannel channel=\"/\" protected=0 topic=\"\" operators=[] usercount=0 diskquota=0",
    "addchannel channel=\"/A/\" protected=1 topic=\"Talk\" operators=[3] usercount=2 diskquota=0",
    "addchannel channel=\"/A/B/\" protected=0 topic=\"\" operators=[] usercount=0 diskquota=0",
    "joined channel=\"/A/\"",
    "adduser userid=3 nickname=\"me\" channel=\"/A/\"",
    "adduser userid=4 nickname=\"Bob\" channel=\"/A/\" statusmessage=\"busy\"",
    "addfile filename=\"notes.txt\" filesize=12 channel=\"/A/\"",
};

ChannelTree LoggedIn() {
    ChannelTree tree;
    for (const char* line : LOGIN) tree.Apply(line);
    return tree;
}

TEST(ChannelTreeTest, FollowsTheServersLines) {
    ChannelTree tree = LoggedIn();
    EXPECT_EQ(tree.Render(),
              "/  users: 0\n"
              "  /A/  \"Talk\"  (password)  users: 2  operators: 3\n"
              "    me (3) <- you\n"
              "    Bob (4)  [busy]\n"
              "    file notes.txt  12 bytes\n"
              "    /A/B/  users: 0\n");
    EXPECT_EQ(tree.FindUserByNickname("bob"), 4);
    EXPECT_EQ(tree.FileNames("/a/"), std::vector<std::string>{"notes.txt"});

    // Joining elsewhere starts the list of users afresh; removals take their users along.
    tree.Apply("joined channel=\"/A/B/\"");
    EXPECT_EQ(tree.FindUser(4), nullptr);
    tree.Apply("adduser userid=5 nickname=\"cy\" channel=\"/A/B/\"");
    tree.Apply("removefile filename=\"notes.txt\" channel=\"/A/\"");
    tree.Apply("removechannel channel=\"/A/B/\"");
    EXPECT_EQ(tree.FindUser(5), nullptr);
    EXPECT_EQ(tree.FindChannel("/a/b/"), nullptr);
    EXPECT_TRUE(tree.FileNames("/A/").empty());
    EXPECT_FALSE(tree.Apply("pong"));
}

TEST(ChannelTreeTest, AdministratorSeesPasswordsAndKeepsEveryUser) {
    ChannelTree tree = Applied({"addchannel channel=\"/S/\" password=\"pw\" static=1 topic=\"\" operators=[] "
                                "usercount=1 diskquota=7",
                                "adduser userid=4 nickname=\"bob\" channel=\"/S/\"",
                                "adduser userid=5 nickname=\"BOB\" channel=\"/S/\"", "left channel=\"/S/\""},
                               true);
    const ChannelInfo* channel = tree.FindChannel("/s/");
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->password, "pw");
    EXPECT_TRUE(channel->isProtected && channel->isStatic);
    EXPECT_EQ(channel->diskQuota, 7);
    // Exact nickname first; a name matching two users in other letter cases names none.
    EXPECT_EQ(tree.FindUserByNickname("BOB"), 5);
    EXPECT_EQ(tree.FindUserByNickname("Bob"), 0);
}

TEST(OutputTest, RowsAndReadableLines) {
    const Record record = {{"name", "a\tb"}, {"text", "say \"hi\"\\\r\n\x01\xc3\xa9"}};
    EXPECT_EQ(FormatTsv(record), "a\\tb\tsay \"hi\"\\\\\\r\\n\x01\xc3\xa9");
    EXPECT_EQ(FormatJson(record), "{\"name\":\"a\\tb\",\"text\":\"say \\\"hi\\\"\\\\\\r\\n\\u0001\xc3\xa9\"}");

    const ChannelTree tree = LoggedIn();
    const struct {
        const char* line;
        const char* text;
    } cases[] = {
        {"messagedeliver type=2 from=4 content=\"hello\" channel=\"/A/\"", "[/A/] Bob (4): hello"},
        {"messagedeliver type=1 from=9 content=\"psst\" channel=\"\"", "[user (9) -> you] psst"},
        {"adduser userid=6 nickname=\"dee\" channel=\"/A/\"", "dee (6) is in /A/"},
        {"adduser userid=3 nickname=\"me\" channel=\"/A/\"", ""},
        {"removeuser userid=4 channel=\"/A/\"", "Bob (4) left /A/"},
        {"updateuser userid=4 nickname=\"Rob\" channel=\"/A/\" statusmessage=\"busy\"", "Bob is now known as Rob"},
        {"updateuser userid=4 nickname=\"Bob\" channel=\"/A/\" statusmode=1 statusmessage=\"out\"",
         "Bob changed status to 1: out"},
        {"updatechannel channel=\"/A/\" topic=\"New\"", "Topic of /A/: New"},
        {"updatechannel channel=\"/A/\" topic=\"Talk\"", ""},
        {"addfile filename=\"x.bin\" filesize=2048 channel=\"/A/\"", "New file in /A/: x.bin (2.0 KiB)"},
        {"serverupdate servername=\"S\" motd=\"Hi\"", "Server: S - Hi"},
        {"pong", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DescribeLine(c.line, tree), c.text) << c.line;
}

TEST(OutputTest, JsonKeepsNumbersAndBooleansAndStatisticsGetStableNames) {
    std::string json;
    for (const Record& row : LoggedIn().Rows()) json += FormatJson(row) + "\n";
    EXPECT_EQ(json,
              "{\"kind\":\"channel\",\"channel\":\"/\",\"topic\":\"\",\"protected\":false,\"usercount\":0,"
              "\"operators\":[],\"diskquota\":0}\n"
              "{\"kind\":\"channel\",\"channel\":\"/A/\",\"topic\":\"Talk\",\"protected\":true,\"usercount\":2,"
              "\"operators\":[3],\"diskquota\":0}\n"
              "{\"kind\":\"user\",\"channel\":\"/A/"
              "\",\"userid\":3,\"nickname\":\"me\",\"statusmode\":0,\"statusmessage\":\"\"}\n"
              "{\"kind\":\"user\",\"channel\":\"/A/\",\"userid\":4,\"nickname\":\"Bob\",\"statusmode\":0,"
              "\"statusmessage\":\"busy\"}\n"
              "{\"kind\":\"file\",\"channel\":\"/A/\",\"filename\":\"notes.txt\",\"filesize\":12}\n"
              "{\"kind\":\"channel\",\"channel\":\"/A/B/\",\"topic\":\"\",\"protected\":false,\"usercount\":0,"
              "\"operators\":[],\"diskquota\":0}\n");
    // Whatever a number field holds, the line stays JSON.
    EXPECT_EQ(FormatJson({{"a", "007", FieldKind::NUMBER}, {"b", "1,x", FieldKind::NUMBERS}, Number("c", -5)}),
              "{\"a\":\"007\",\"b\":[1,\"x\"],\"c\":-5}");
    EXPECT_EQ(FormatTsv({Flag("p", true), {"o", "1,4", FieldKind::NUMBERS}, Number("n", 12)}), "1\t1,4\t12");

    std::string rows;
    for (const Record& row : StatsRows("Uptime: 1:02:03\r\nUsers online: 2\r\nUsers served: 5\r\nUsers peak: 3\r\n"
                                       "Voice TX: 12 KBytes\r\nVoice RX: 0 KBytes\r\nActive file transfers: 1\r\n"
                                       "Active uploads: 1\r\nActive downloads: 0\r\nNew Thing (beta): soon")) {
        rows += FormatJson(row) + "\n";
    }
    EXPECT_EQ(rows,
              "{\"name\":\"uptime_seconds\",\"value\":3723}\n{\"name\":\"users_online\",\"value\":2}\n"
              "{\"name\":\"users_served\",\"value\":5}\n{\"name\":\"users_peak\",\"value\":3}\n"
              "{\"name\":\"voice_tx_kib\",\"value\":12}\n{\"name\":\"voice_rx_kib\",\"value\":0}\n"
              "{\"name\":\"file_transfers\",\"value\":1}\n{\"name\":\"uploads\",\"value\":1}\n"
              "{\"name\":\"downloads\",\"value\":0}\n{\"name\":\"new_thing_beta\",\"value\":\"soon\"}\n");
}

TEST(OutputTest, WhatThePromptSaysAfterACommand) {
    std::vector<std::string> files;
    EXPECT_EQ(FilesText("/A/", files), "");
    files.push_back("addfile filename=\"notes.txt\" filesize=1229 channel=\"/A/\"");
    files.push_back("addfile filename=\"e\" filesize=0 channel=\"/A/\"");
    EXPECT_EQ(FilesText("/A/", files), "Files in /A/: notes.txt (1.2 KiB), e (0 B)");
    files.resize(12, files[1]);
    const std::string many = FilesText("/A/", files);
    EXPECT_EQ(many.substr(many.size() - 22), " and 2 more (see tree)");
    EXPECT_EQ(BanText("userbanned address=\"127.0.0.2\" channel=\"/A/\" nickname=\"bob\" bantime=\"2026/12/07 11:25\""),
              "127.0.0.2  bob  in /A/  since 2026/12/07 11:25");
    EXPECT_EQ(TransferText(true, "notes.txt", 1229, "/A/", 0.26), "Uploaded notes.txt (1.2 KiB) to /A/ in 0.3 s.");
    EXPECT_EQ(TransferText(false, "n", 0, "out/n", 2), "Downloaded n (0 B) to out/n in 2.0 s.");
    EXPECT_EQ(StatsText("Uptime: 0:00:01\r\nUsers online: 1"),
              "Server statistics:\n  Uptime: 0:00:01\n  Users online: 1");
    // This client's own nickname and status changes are confirmed by the command, not
    // described again from the server's line.
    EXPECT_EQ(DescribeLine("updateuser userid=3 nickname=\"zed\" channel=\"/A/\"", LoggedIn()), "");
}

TEST(ProgressBarTest, ShowsBytesRateAndTimeLeft) {
    const struct {
        int64_t done, total;
        double seconds;
        const char* text;
    } cases[] = {
        {0, 1024, 0, "f [........................]   0%  0 B of 1.0 KiB  --  --:-- left"},
        {512, 1024, 1, "f [############............]  50%  512 B of 1.0 KiB  512 B/s  0:01 left"},
        {1 << 20, 4 << 20, 2, "f [######..................]  25%  1.0 MiB of 4.0 MiB  512.0 KiB/s  0:06 left"},
        {1, 8000, 1, "f [........................]   0%  1 B of 7.8 KiB  1 B/s  2:13:19 left"},
        {3000, 2048, 1, "f [########################] 100%  2.9 KiB of 2.0 KiB  2.9 KiB/s  0:00 left"},
    };
    for (const auto& c : cases) EXPECT_EQ(ProgressBar::Format("f", c.done, c.total, c.seconds), c.text);
}

TEST(LineConnectionTest, ReassemblesLinesAndClosesOnAnOverlongOne) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    LineConnection conn;
    conn.Adopt(fds[0]);
    std::string line;
    ASSERT_EQ(write(fds[1], "wel", 3), 3);
    EXPECT_EQ(conn.ReadLine(line, 50), LineConnection::READ_TIMEOUT);
    ASSERT_EQ(write(fds[1], "come\r\n\nraw", 10), 10);
    ASSERT_EQ(conn.ReadLine(line, 1000), LineConnection::READ_LINE);
    EXPECT_EQ(line, "welcome");
    ASSERT_EQ(conn.ReadLine(line, 1000), LineConnection::READ_LINE);
    EXPECT_EQ(line, "");
    char bytes[8];
    ASSERT_EQ(conn.ReadSome(bytes, sizeof(bytes), 1000), 3);  // buffered bytes come first
    EXPECT_EQ(std::string(bytes, 3), "raw");

    const std::string flood(LineConnection::MAX_LINE + 1, 'x');
    // The writer stops with EPIPE once the reader has given up and closed its end.
    std::thread writer([&] { (void)!send(fds[1], flood.data(), flood.size(), MSG_NOSIGNAL); });
    EXPECT_EQ(conn.ReadLine(line, 10000), LineConnection::READ_CLOSED);
    EXPECT_FALSE(conn.IsOpen());
    writer.join();
    close(fds[1]);
}

}  // namespace
}  // namespace cli
}  // namespace quorvane
