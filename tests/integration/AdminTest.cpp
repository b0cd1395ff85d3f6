// Administration, bans, text messages and chat commands on the real server.
#include <regex>
#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::IntParam;
using testing_support::Param;

std::string ErrorLine(int number, const std::string& message) {
    return "error number=" + std::to_string(number) + " message=\"" + message + "\"";
}

class AdminTest : public ServerFixture {
protected:
    // An administrator account "Admin" / "s3cret" and a user password.
    void StartWithAdmin(ServerConfig config = ServerConfig()) {
        config.adminEnabled = true;
        config.adminUsername = "Admin";
        config.adminPassword = "s3cret";
        StartServer(config);
    }

    // Reads what is pending up to a ping's answer: whatever earlier commands made the
    // server send this connection has arrived by then.
    static void Sync(TestUser& user) {
        user.tcp.Send("ping\r\n");
        EXPECT_EQ(SkipUntil(user.tcp, "pong"), "pong");
    }

    // The first line the server answers to this line.
    static std::string Send(TestUser& user, const std::string& line) {
        Sync(user);
        user.tcp.Send(line + "\r\n");
        return NextLine(user.tcp);
    }

    // Sends the line and collects every line up to and including "done".
    static std::vector<std::string> SendUntilDone(TestUser& user, const std::string& line) {
        Sync(user);
        user.tcp.Send(line + "\r\n");
        std::vector<std::string> lines;
        const std::string done = user.tcp.Expect("done", DEFAULT_TIMEOUT_MS, &lines);
        EXPECT_EQ(done, "done") << line;
        lines.push_back(done);
        return lines;
    }

    static void Join(TestUser& user, const std::string& path, const std::string& password = "") {
        user.tcp.Send("join channel=\"" + path + "\" password=\"" + password + "\"\r\n");
        ASSERT_FALSE(SkipUntil(user.tcp, "done").empty()) << path;
    }
};

TEST_F(AdminTest, MessagesToUsersAndChannels) {
    StartServer();
    TestUser ann, bob, cid, loner;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    ASSERT_TRUE(ConnectAndLogin(cid, "cid"));
    ASSERT_TRUE(ConnectAndLogin(loner, "loner"));
    Join(ann, "/a/");
    Join(bob, "/a/");
    Join(cid, "/b/");

    // To one user: only the receiver gets it; "/stats" is ordinary text there.
    EXPECT_EQ(Send(ann, "message type=1 to=" + std::to_string(cid.id) + " channel=\"\" content=\"/stats\""), "ok");
    EXPECT_EQ(cid.tcp.Expect("messagedeliver"),
              "messagedeliver type=1 from=" + std::to_string(ann.id) + " content=\"/stats\" channel=\"/a/\"");

    // To the own channel (empty path): every member, the sender included.
    const std::string toChannel =
        "messagedeliver type=2 from=" + std::to_string(ann.id) + " content=\"hi\" channel=\"/a/\"";
    EXPECT_EQ(Send(ann, "message type=2 channel=\"\" content=\"hi\""), toChannel);
    EXPECT_EQ(NextLine(ann.tcp), "ok");
    EXPECT_EQ(bob.tcp.Expect("messagedeliver"), toChannel);

    // To a channel the sender is not in: delivered there.
    EXPECT_EQ(Send(cid, "message type=2 channel=\"/A/\" content=\"from b\""), "ok");
    EXPECT_EQ(Param(ann.tcp.Expect("messagedeliver"), "content"), "from b");
    EXPECT_EQ(Param(bob.tcp.Expect("messagedeliver"), "content"), "from b");

    // Refusals; a sender in no channel is ignored without a reply.
    EXPECT_EQ(Send(ann, "message type=1 to=999 channel=\"\" content=\"x\""), ErrorLine(311, "No such user"));
    EXPECT_EQ(Send(ann, "message type=2 channel=\"/nowhere/\" content=\"x\""),
              ErrorLine(312, "Incorrect channel path"));
    EXPECT_EQ(Send(ann, "message type=3 channel=\"\" content=\"x\""), ErrorLine(2012, "Missing type parameter"));
    Sync(loner);
    loner.tcp.Send("message type=2 channel=\"/a/\" content=\"x\"\r\nping\r\n");
    EXPECT_EQ(NextLine(loner.tcp), "pong");
}

TEST_F(AdminTest, ChatCommandsAnswerTheSenderOnly) {
    StartServer();
    TestUser ann, bob;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    Join(ann, "/a/");
    Join(bob, "/a/");

    const std::string help =
        "Valid commands are:\\r\\n/help - The message you're viewing now.\\r\\n"
        "/stats - Show server statistics.";
    const struct {
        const char* content;
        std::string reply;
    } cases[] = {
        {"/Help me", help}, {"/", "Unknown command."}, {"/foo", "Unknown command."}, {"/helpx", "Unknown command."}};
    for (const auto& c : cases) {
        EXPECT_EQ(
            Send(ann, std::string("message type=2 channel=\"\" content=\"") + c.content + "\""),
            "messagedeliver type=2 from=" + std::to_string(ann.id) + " content=\"" + c.reply + "\" channel=\"/a/\"")
            << c.content;
        EXPECT_EQ(NextLine(ann.tcp), "ok");
    }
    const std::string stats = Send(ann, "message type=2 channel=\"\" content=\"/STATS please\"");
    EXPECT_TRUE(std::regex_match(
        stats,
        std::regex(
            "messagedeliver type=2 from=1 content=\"Uptime: 0:00:[0-5][0-9]\\\\r\\\\nUsers online: 2\\\\r\\\\n"
            "Users served: 2\\\\r\\\\nUsers peak: 2\\\\r\\\\nVoice TX: 0 KBytes\\\\r\\\\nVoice RX: 0 KBytes\\\\r\\\\n"
            "Active file transfers: 0\\\\r\\\\nActive uploads: 0\\\\r\\\\nActive downloads: 0\" channel=\"/a/\"")))
        << stats;
    EXPECT_EQ(NextLine(ann.tcp), "ok");
    bob.tcp.Send("ping\r\n");
    EXPECT_EQ(bob.tcp.Expect("pong", DEFAULT_TIMEOUT_MS), "pong");
    EXPECT_TRUE(bob.tcp.Quiet(0)) << "bob got a chat reply meant for ann";
}

TEST_F(AdminTest, AdministratorLoginAndListing) {
    ServerConfig config;
    config.maxUsers = 1;
    StartWithAdmin(config);
    TestUser ann;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    Join(ann, "/a/");

    // Name in any letter case, password byte for byte; the refusals change nothing.
    TestUser admin;
    Connect(admin);
    EXPECT_EQ(Send(admin, "admin username=\"admin\" password=\"S3cret\""), ErrorLine(200, "Incorrect password"));
    EXPECT_EQ(Send(admin, "admin username=\"admin\" password=\"s3cre\""), ErrorLine(200, "Incorrect password"));
    const std::vector<std::string> listing = SendUntilDone(admin, "admin username=\"ADMIN\" password=\"s3cret\"");
    ASSERT_GE(listing.size(), 6u);
    EXPECT_EQ(listing[0], "ok");
    EXPECT_EQ(listing[1],
              "addchannel channel=\"/\" password=\"\" static=1 topic=\"\" operators=[] usercount=0 diskquota=0");
    EXPECT_EQ(listing[2],
              "addchannel channel=\"/a/\" password=\"\" static=0 topic=\"\" operators=[1] usercount=1 diskquota=0");
    EXPECT_EQ(CommandWord(listing[3]), "adduser");
    EXPECT_EQ(IntParam(listing[3], "userid"), ann.id);
    EXPECT_EQ(listing[4], "fileshareinfo filesroot=\"\" diskquota=0");
    EXPECT_EQ(listing[5], "done");

    // A management connection only; not counted against the user limit of 1.
    const struct {
        const char* line;
        int error;
    } refused[] = {{"join channel=\"/a/\"", 206},
                   {"leave", 206},
                   {"whoami", 206},
                   {"changenick nickname=\"x\"", 206},
                   {"changestatus statusmode=1 statusmessage=\"x\"", 206},
                   {"message type=2 channel=\"\" content=\"x\"", 206},
                   {"admin username=\"Admin\" password=\"s3cret\"", 300}};
    for (const auto& r : refused) EXPECT_EQ(CommandWord(Send(admin, r.line)), "error") << r.line;
    EXPECT_EQ(IntParam(Send(admin, "login"), "number"), 206);

    // A user's channel message reaches the administrator too.
    EXPECT_EQ(Send(ann, "message type=2 channel=\"\" content=\"hey\""),
              "messagedeliver type=2 from=1 content=\"hey\" channel=\"/a/\"");
    EXPECT_EQ(Param(admin.tcp.Expect("messagedeliver"), "content"), "hey");

    // Ordinary users get 205 for administrator commands.
    for (const char* line :
         {"updateserver channels=1 operators=1 servername=\"x\" password=\"\" motd=\"\"",
          "updateadmin username=\"x\" password=\"y\"", "saveconfig", "ban userid=1", "unban address=\"1.2.3.4\"",
          "listbans", "listusers", "makechannel channel=\"/x/\"", "removechannel channel=\"/a/\""})
        EXPECT_EQ(Send(ann, line), ErrorLine(205, "Command requires administrator rights")) << line;
}

TEST_F(AdminTest, ListUsersShowsEveryConnectionWithItsAddressChannelLoginAndIdleTime) {
    StartWithAdmin();
    TestUser ann, bob("127.0.0.2"), guest, admin;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    Join(ann, "/a/");
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));  // logged in, in no channel: no tree line shows it
    Connect(guest);
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));

    std::vector<std::string> lines = SendUntilDone(admin, "listusers");
    for (std::string& line : lines) {
        const int idle = IntParam(line, "idleseconds");
        EXPECT_TRUE(line == "done" || (idle >= 0 && idle < 60)) << line;
        line = std::regex_replace(line, std::regex(" idleseconds=[0-9]+$"), "");
    }
    const auto row = [](const TestUser& user, const char* nickname, const char* channel, int loggedIn, int isAdmin) {
        return "userinfo userid=" + std::to_string(user.id) + " nickname=\"" + nickname + "\" address=\"" +
               user.source + "\" channel=\"" + channel + "\" loggedin=" + std::to_string(loggedIn) +
               " admin=" + std::to_string(isAdmin);
    };
    EXPECT_EQ(lines, (std::vector<std::string>{row(ann, "ann", "/a/", 1, 0), row(bob, "bob", "", 1, 0),
                                               row(guest, "", "", 0, 0), row(admin, "", "", 1, 1), "done"}));
}

TEST_F(AdminTest, AdministratorDisabledByEmptyPasswordOrSetting) {
    for (const bool enabled : {false, true}) {
        ServerConfig config;
        config.adminEnabled = enabled;
        config.adminUsername = "Admin";
        config.adminPassword = enabled ? "" : "s3cret";
        StartServer(config);
        TestUser admin;
        Connect(admin);
        EXPECT_EQ(Send(admin, "admin username=\"Admin\" password=\"s3cret\""), ErrorLine(200, "Incorrect password"));
        EXPECT_EQ(Send(admin, "admin username=\"Admin\" password=\"\""), ErrorLine(200, "Incorrect password"));
        EXPECT_EQ(StopServer(), EXIT_CLEAN_STOP);
    }
}

TEST_F(AdminTest, ChannelManagement) {
    StartWithAdmin();
    TestUser admin, ann, bob;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));

    admin.tcp.Send("makechannel channel=\"/top/\" password=\"pw\" topic=\"T\" diskquota=5000000000\r\n");
    EXPECT_EQ(admin.tcp.Expect("addchannel"),
              "addchannel channel=\"/top/\" password=\"pw\" static=1 topic=\"T\" operators=[] usercount=0 "
              "diskquota=5000000000");
    EXPECT_EQ(ann.tcp.Expect("addchannel"),
              "addchannel channel=\"/top/\" protected=1 topic=\"T\" operators=[] usercount=0 diskquota=5000000000");
    EXPECT_EQ(Send(admin, "makechannel channel=\"/TOP/\""), ErrorLine(310, "Channel already exists"));
    admin.tcp.Send("makechannel channel=\"/top/sub/\"\r\n");
    admin.tcp.Expect("addchannel");

    // The root keeps its password and static flag: only topic and quota change.
    admin.tcp.Send("updatechannel channel=\"/\" password=\"x\" topic=\"Root\" static=0 diskquota=7\r\n");
    EXPECT_EQ(admin.tcp.Expect("updatechannel"),
              "updatechannel channel=\"/\" password=\"\" static=1 topic=\"Root\" operators=[] usercount=0 diskquota=7");

    // Moving needs no channel password; removal kicks the members of the whole sub-tree.
    Join(ann, "/top/", "pw");
    admin.tcp.Send("moveuser srcchannel=\"/\" destchannel=\"/top/sub/\" userid=" + std::to_string(bob.id) + "\r\n");
    EXPECT_EQ(Param(bob.tcp.Expect("joined"), "channel"), "/top/sub/");
    EXPECT_EQ(Send(admin, "moveuser srcchannel=\"/none/\" destchannel=\"/top/\" userid=2"),
              ErrorLine(312, "Incorrect channel path"));
    admin.tcp.Send("removechannel channel=\"/top/\"\r\n");
    std::vector<std::string> removed;
    for (int i = 0; i < 2; ++i) removed.push_back(Param(admin.tcp.Expect("removechannel"), "channel"));
    EXPECT_EQ(removed, (std::vector<std::string>{"/top/sub/", "/top/"}));
    EXPECT_TRUE(ann.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    EXPECT_TRUE(bob.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));

    // Removing the root keeps the root.
    admin.tcp.Send("makechannel channel=\"/again/\"\r\nremovechannel channel=\"/\"\r\n");
    EXPECT_EQ(Param(admin.tcp.Expect("removechannel"), "channel"), "/again/");
    TestUser late;
    std::vector<std::string> lines;
    ASSERT_TRUE(ConnectAdmin(late, "Admin", "s3cret", &lines));
    EXPECT_EQ(CommandWord(lines[1]), "addchannel");
    EXPECT_EQ(CommandWord(lines[2]), "fileshareinfo");
}

TEST_F(AdminTest, KickByOperatorAndAdministrator) {
    StartWithAdmin();
    TestUser admin, ann, bob, cid;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    ASSERT_TRUE(ConnectAndLogin(cid, "cid"));
    Join(ann, "/a/");  // creator, so operator
    Join(bob, "/a/");

    EXPECT_EQ(Send(bob, "kick userid=" + std::to_string(ann.id)), ErrorLine(203, "Command requires operator rights"));
    EXPECT_EQ(Send(ann, "kick userid=" + std::to_string(ann.id)), ErrorLine(311, "No such user"));
    EXPECT_EQ(Send(ann, "kick userid=" + std::to_string(cid.id)), ErrorLine(311, "No such user"));
    ann.tcp.Send("kick userid=" + std::to_string(bob.id) + "\r\n");
    EXPECT_TRUE(bob.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(IntParam(ann.tcp.Expect("removeuser"), "userid"), bob.id);

    // The administrator kicks anyone, itself included.
    admin.tcp.Send("kick userid=" + std::to_string(cid.id) + "\r\n");
    EXPECT_TRUE(cid.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    admin.tcp.Send("kick userid=" + std::to_string(admin.id) + "\r\nping\r\n");
    EXPECT_TRUE(admin.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    Sync(ann);
}

TEST_F(AdminTest, ServerAndAccountUpdates) {
    StartWithAdmin();
    TestUser admin, ann, fresh;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    Connect(fresh);  // not logged in: still told

    const std::string update = "serverupdate servername=\"New\" motd=\"M\" forwarding=1 channels=0 operators=0";
    admin.tcp.Send("updateserver channels=0 operators=0 servername=\"New\" password=\"pw\" motd=\"M\"\r\n");
    EXPECT_EQ(admin.tcp.Expect("serverupdate"), update);
    EXPECT_EQ(ann.tcp.Expect("serverupdate"), update);
    EXPECT_EQ(NextLine(fresh.tcp), update);

    // The new values hold at once.
    EXPECT_EQ(Send(ann, "join channel=\"/new/\""), ErrorLine(204, "Channel creation not allowed"));
    SayHello(fresh);
    EXPECT_EQ(SendLogin(fresh, "f", ""), ErrorLine(200, "Incorrect password"));
    EXPECT_EQ(CommandWord(SendLogin(fresh, "f", "pw")), "accepted");

    // The account changes for the next login; this session stays administrator.
    EXPECT_EQ(Send(admin, "updateadmin username=\"boss\" password=\"new\""), "ok");
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    TestUser again;
    Connect(again);
    EXPECT_EQ(Send(again, "admin username=\"Admin\" password=\"s3cret\""), ErrorLine(200, "Incorrect password"));
    EXPECT_EQ(SendUntilDone(again, "admin username=\"BOSS\" password=\"new\"")[0], "ok");
}

TEST_F(AdminTest, BanCycle) {
    StartWithAdmin();
    TestUser admin, ann, bob;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    Join(ann, "/a/");

    EXPECT_EQ(SendUntilDone(admin, "listbans"), std::vector<std::string>{"done"});
    EXPECT_EQ(Send(admin, "ban userid=" + std::to_string(ann.id)), "ok");
    EXPECT_EQ(Send(admin, "ban userid=" + std::to_string(bob.id)), "ok");  // same address: replaces
    EXPECT_EQ(Send(admin, "ban userid=999"), ErrorLine(311, "No such user"));
    const std::vector<std::string> bans = SendUntilDone(admin, "listbans");
    ASSERT_EQ(bans.size(), 2u);
    EXPECT_TRUE(std::regex_match(bans[0], std::regex("userbanned address=\"127\\.0\\.0\\.1\" channel=\"\" "
                                                     "nickname=\"bob\" bantime=\"20[0-9]{2}/[01][0-9]/[0-3][0-9] "
                                                     "[0-2][0-9]:[0-5][0-9]\"")))
        << bans[0];

    // The banned user stays connected until its next login.
    Sync(ann);
    ann.tcp.Send("logout\r\n");
    EXPECT_EQ(ann.tcp.Expect("loggedout"), "loggedout");
    EXPECT_EQ(SendLogin(ann, "ann"), ErrorLine(202, "Banned from server"));
    TestUser admin2;
    EXPECT_TRUE(ConnectAdmin(admin2, "Admin", "s3cret"));  // administrators are not banned

    EXPECT_EQ(Send(admin, "unban address=\"127.0.0.2\""), ErrorLine(313, "No such ban exists"));
    EXPECT_EQ(Send(admin, "unban address=\"127.0.0.1\""), "ok");
    EXPECT_EQ(CommandWord(SendLogin(ann, "ann")), "accepted");
}

TEST_F(AdminTest, MissingParameterCodes) {
    StartWithAdmin();
    TestUser admin, ann;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    Join(ann, "/a/");
    const struct {
        TestUser* user;
        const char* line;
        int error;
    } cases[] = {
        {&ann, "message channel=\"\" content=\"x\"", 2012},
        {&ann, "message type=2 content=\"x\"", 2005},
        {&ann, "message type=1 channel=\"\" content=\"x\"", 2010},
        {&ann, "message type=2 channel=\"\"", 2025},
        {&ann, "changestatus statusmode=1", 2025},
        {&admin, "kick", 2000},
        {&admin, "ban", 2000},
        {&admin, "unban", 2029},
        {&admin, "updateserver operators=1 servername=\"x\" password=\"\" motd=\"\"", 2019},
        {&admin, "updateserver channels=1 servername=\"x\" password=\"\" motd=\"\"", 2020},
        {&admin, "updateserver channels=1 operators=1 password=\"\" motd=\"\"", 2021},
        {&admin, "updateserver channels=1 operators=1 servername=\"x\" motd=\"\"", 2027},
        {&admin, "updateserver channels=1 operators=1 servername=\"x\" password=\"\"", 2028},
        {&admin, "updateadmin password=\"x\"", 2013},
        {&admin, "updateadmin username=\"x\"", 2027},
        {&admin, "makechannel", 2005},
        {&admin, "removechannel", 2005},
        {&admin, "updatechannel channel=\"/a/\" password=\"\" static=1", 2014},
        {&admin, "moveuser destchannel=\"/\" userid=1", 2016},
        {&admin, "op channel=\"/a/\"", 2000},
    };
    for (const auto& c : cases) EXPECT_EQ(IntParam(Send(*c.user, c.line), "number"), c.error) << c.line;
    TestUser anon;
    Connect(anon);
    EXPECT_EQ(IntParam(Send(anon, "admin password=\"x\""), "number"), 2013);
    EXPECT_EQ(IntParam(Send(anon, "admin username=\"x\""), "number"), 2027);
}

// A channel left with "leave" stops reaching the user at once, and is still removed
// once empty at the user's next join or disconnection.
TEST_F(AdminTest, LeftChannelsAreRemovedAtNextJoinOrDisconnection) {
    StartWithAdmin();
    TestUser admin, ann;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    Join(ann, "/one/");
    ann.tcp.Send("leave\r\n");
    EXPECT_EQ(ann.tcp.Expect("left"), "left channel=\"/one/\"");
    EXPECT_EQ(Send(ann, "pwc"), "pwc channel=\"\"");
    Join(ann, "/two/");
    EXPECT_EQ(Param(admin.tcp.Expect("removechannel"), "channel"), "/one/");
    ann.tcp.Send("leave\r\n");
    ann.tcp.Expect("left");
    ann.tcp.Close();
    EXPECT_EQ(Param(admin.tcp.Expect("removechannel"), "channel"), "/two/");
}

}  // namespace
}  // namespace test
}  // namespace quorvane
