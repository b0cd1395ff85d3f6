// What a hostile client meets: text parameters past their caps, the channel tree's
// bounds, the limits per address (connections, wrong passwords) and the login timeout.
// 127.0.0.2 plays the foreign host.
#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::WaitFor;

const char* const FOREIGN_HOST = "127.0.0.2";

class HardeningTest : public ServerFixture {
protected:
    // Sends the line and a ping; whether an error with the code came before the pong.
    static bool Refused(TestUser& user, const std::string& line, int code) {
        std::vector<std::string> lines;
        user.tcp.Send(line + "\r\nping\r\n");
        EXPECT_FALSE(user.tcp.Expect("pong", DEFAULT_TIMEOUT_MS, &lines).empty()) << line.substr(0, 80);
        const std::string error = "error number=" + std::to_string(code) + " ";
        for (const std::string& received : lines)
            if (received.compare(0, error.size(), error) == 0) return true;
        return false;
    }

    // Connects from the address and answers the first line ("" when closed first).
    std::string ConnectFrom(TestUser& user, const std::string& source) {
        if (!user.tcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, source)) return "";
        std::string line;
        return user.tcp.ReadLine(line, DEFAULT_TIMEOUT_MS) ? line : "";
    }

    // A join of /Quiet/ with the password; the first line of the answer.
    static std::string ChannelJoin(TestUser& member, const std::string& password) {
        member.tcp.Send("join channel=\"/Quiet/\" password=\"" + password + "\"\r\n");
        return NextLine(member.tcp);
    }

    bool AdminLogin(TestUser& user, const std::string& source, const std::string& password) {
        if (CommandWord(ConnectFrom(user, source)) != "welcome") return false;
        user.tcp.Send("admin username=\"root\" password=\"" + password + "\"\r\n");
        return NextLine(user.tcp) == "ok";
    }
};

TEST_F(HardeningTest, TextParametersPastTheirCapAreRefusedWithTheirMissingParameterCode) {
    StartServer();
    TestUser user;
    ASSERT_TRUE(ConnectAndLogin(user, "capped"));
    struct Case {
        const char* before;
        const char* after;
        size_t cap;
        int code;
    };
    const Case cases[] = {
        {"changenick nickname=\"", "\"", 511, 2001},
        {"changestatus statusmode=0 statusmessage=\"", "\"", 511, 2025},
        {"join channel=\"/", "/\"", 511, 2005},
        {"join channel=\"/t/\" topic=\"", "\"", 511, 2014},
        {"join channel=\"/p/\" password=\"", "\"", 511, 2027},
        {"message type=2 channel=\"\" content=\"", "\"", 8192, 2025},
        {"regsendfile channel=\"/\" filesize=1 filename=\"", "\"", 511, 2022},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Refused(user, c.before + std::string(c.cap, 'x') + c.after, c.code)) << c.before;
        EXPECT_TRUE(Refused(user, c.before + std::string(c.cap + 1, 'x') + c.after, c.code)) << c.before;
    }
}

// Every line past its cap (4 KiB before login, 64 KiB after) is answered with error 100,
// which arrives, and then the close, whether the line ended or not.
TEST_F(HardeningTest, LinesPastTheirCapAreAnsweredWithError100ThenClosed) {
    StartServer();
    const struct {
        bool loggedIn;
        std::string bytes;
    } cases[] = {
        {false, "ping " + std::string(5000, ' ') + "\r\n"},
        {false, std::string(5000, 'x')},
        {true, "ping " + std::string(70000, ' ') + "\r\n"},
        {true, std::string(70000, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes.size()) + (c.loggedIn ? " after login" : " before login"));
        TestUser user;
        if (c.loggedIn) ASSERT_TRUE(ConnectAndLogin(user, "long"));
        else Connect(user);
        user.tcp.Send(c.bytes);
        EXPECT_EQ(NextLine(user.tcp).compare(0, 17, "error number=100 "), 0);
        EXPECT_TRUE(user.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    }
}

TEST_F(HardeningTest, ChannelTreeIsBoundedInCountAndDepth) {
    ServerConfig config;
    config.adminEnabled = true;
    config.adminUsername = "root";
    config.adminPassword = "pw";
    config.maxChannels = 34;
    StartServer(config);
    TestUser admin, user;
    ASSERT_TRUE(AdminLogin(admin, "127.0.0.1", "pw"));
    ASSERT_TRUE(ConnectAndLogin(user, "joiner"));
    std::string path = "/";
    for (int depth = 1; depth <= 32; ++depth) {
        path += "d" + std::to_string(depth) + "/";
        ASSERT_FALSE(Refused(admin, "makechannel channel=\"" + path + "\"", 204)) << depth;
    }
    EXPECT_TRUE(Refused(admin, "makechannel channel=\"" + path + "deeper/\"", 204));
    EXPECT_FALSE(Refused(admin, "makechannel channel=\"/x/\"", 204));
    EXPECT_FALSE(Refused(admin, "makechannel channel=\"/y/\"", 204));
    EXPECT_TRUE(Refused(admin, "makechannel channel=\"/z/\"", 204));
    EXPECT_TRUE(Refused(user, "join channel=\"/z/\"", 204));
    EXPECT_FALSE(Refused(user, "join channel=\"/x/\"", 204));
}

TEST_F(HardeningTest, OneAddressHoldsAtMostItsConnectionsAndGetsThemBackOnClose) {
    ServerConfig config;
    config.maxConnectionsPerAddress = 2;
    StartServer(config);
    TestUser first, second, third, foreign;
    EXPECT_EQ("welcome", CommandWord(ConnectFrom(first, "127.0.0.1")));
    EXPECT_EQ("welcome", CommandWord(ConnectFrom(second, "127.0.0.1")));
    EXPECT_EQ("", ConnectFrom(third, "127.0.0.1"));
    EXPECT_TRUE(third.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    EXPECT_EQ("welcome", CommandWord(ConnectFrom(foreign, FOREIGN_HOST)));
    first.tcp.Close();
    EXPECT_TRUE(WaitFor([&] { return CommandWord(ConnectFrom(third, "127.0.0.1")) == "welcome"; }, DEFAULT_TIMEOUT_MS));
}

// The server's, the administrator's and the channels' passwords lock apart: wrong answers
// at one lock that one for a minute (the right password is then answered as wrong), from
// that address only, and never the others (no channel guess from behind the
// administrator's NAT locks the administrator out).
TEST_F(HardeningTest, WrongPasswordsLockOnlyTheirOwnDoorOfTheAddressForAMinute) {
    ServerConfig config;
    config.serverPassword = "secret";
    config.adminEnabled = true;
    config.adminUsername = "root";
    config.adminPassword = "pw";
    config.passwordLockout = 3;
    config.trustLoopback = false;
    config.staticChannels = "<channel><name>Quiet</name><password>hush</password></channel>";
    StartServer(config);
    enum Door { SERVER, ADMIN, CHANNEL };
    // One attempt at the door from the address; a channel's through the member.
    auto attempt = [&](Door door, const std::string& source, TestUser& member, const std::string& password) {
        TestUser user(source);
        if (door == ADMIN) return AdminLogin(user, source, password);
        if (door == CHANNEL) return CommandWord(ChannelJoin(member, password)) != "error";
        Connect(user);
        SayHello(user);
        return CommandWord(SendLogin(user, "guest", password)) == "accepted";
    };
    const char* const right[] = {"secret", "pw", "hush"};
    const struct {
        Door guessed;
        const char* from;
    } cases[] = {{SERVER, "127.0.0.3"}, {ADMIN, "127.0.0.4"}, {CHANNEL, "127.0.0.5"}};
    for (const auto& c : cases) {
        TestUser member(c.from), other(FOREIGN_HOST);
        ASSERT_TRUE(ConnectAndLogin(member, "member", "secret"));
        ASSERT_TRUE(ConnectAndLogin(other, "other", "secret"));
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(attempt(c.guessed, c.from, member, "wrong")) << c.guessed;
        for (Door door : {SERVER, ADMIN, CHANNEL})
            EXPECT_EQ(attempt(door, c.from, member, right[door]), door != c.guessed)
                << "guessed " << c.guessed << ", tried " << door;
        EXPECT_TRUE(attempt(c.guessed, FOREIGN_HOST, other, right[c.guessed])) << c.guessed;
    }
}

TEST_F(HardeningTest, ConnectionThatDoesNotLogInInTimeIsClosedEvenIfItPings) {
    ServerConfig config;
    config.loginTimeout = 1;
    StartServer(config);
    TestUser silent, user;
    Connect(silent);
    ASSERT_TRUE(ConnectAndLogin(user, "prompt"));
    silent.tcp.Send("ping\r\n");
    EXPECT_EQ("pong", NextLine(silent.tcp));
    EXPECT_TRUE(silent.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    user.tcp.Send("ping\r\n");
    EXPECT_EQ("pong", NextLine(user.tcp));
}

}  // namespace
}  // namespace test
}  // namespace quorvane
