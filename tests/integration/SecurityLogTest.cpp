// The security lines of the event log, as an administrator and fail2ban read them: each
// failed login, lockout, administrator login, kick, ban and unban once, with the address
// it is about, and no line that a hostile name could forge.
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::WaitFor;

class SecurityLogTest : public ServerFixture {
protected:
    // The event log's lines without their stamps.
    std::vector<std::string> SecurityLines() {
        std::vector<std::string> lines;
        std::istringstream log(ReadFile("QuorvaneService.log"));
        for (std::string line; std::getline(log, line);) {
            const size_t at = line.find(" Security: ");
            if (at != std::string::npos) lines.push_back(line.substr(at + 1));
        }
        return lines;
    }

    std::string Answer(TestUser& user, const std::string& line) {
        user.tcp.Send(line + "\r\n");
        return CommandWord(NextLine(user.tcp));
    }
};

TEST_F(SecurityLogTest, EachEventIsOneLineWithItsAddressAndFail2banBansOnlyTheFailures) {
    ServerConfig config;
    config.serverLogging = true;
    config.serverPassword = "pw";
    config.passwordLockout = 3;
    config.adminEnabled = true;
    config.adminUsername = "root";
    config.adminPassword = "s3cret";
    config.staticChannels = "<channel><name>Quiet</name><password>hush</password></channel>";
    StartServer(config);

    // A name that tries to end its line and forge a failure of another address.
    const std::string forged =
        "x\r Sun Dec  6 2026 08:42:24.123000 Security: failed login from 198.51.100.9: "
        "wrong server password for \\\"y\\\".";
    TestUser guest("127.0.0.2"), intruder("127.0.0.2"), member("127.0.0.2"), victim("127.0.0.3"), admin;
    Connect(guest);
    SayHello(guest);
    EXPECT_EQ(CommandWord(SendLogin(guest, forged, "wrong")), "error");
    Connect(intruder);
    EXPECT_EQ(Answer(intruder, "admin username=\"root\" password=\"guess\""), "error");
    ASSERT_TRUE(ConnectAndLogin(member, "member", "pw"));
    // Channel passwords count apart from the others: their third failure locks them out.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Answer(member, "join channel=\"/Quiet/\" password=\"nope\""), "error");
    ASSERT_TRUE(ConnectAndLogin(victim, "victim", "pw"));
    ASSERT_TRUE(ConnectAdmin(admin, "root", "s3cret"));
    EXPECT_EQ(Answer(admin, "ban userid=" + std::to_string(victim.id)), "ok");
    EXPECT_EQ(Answer(admin, "unban address=\"127.0.0.3\""), "ok");
    admin.tcp.Send("kick userid=" + std::to_string(victim.id) + "\r\nping\r\n");
    EXPECT_FALSE(admin.tcp.Expect("pong").empty());

    const std::string kicker = "by User #" + std::to_string(admin.id) + " name: \"\"";
    const std::vector<std::string> expected = {
        "Security: failed login from 127.0.0.2: wrong server password for \"x\\r Sun Dec  6 2026 08:42:24.123000 "
        "Security: failed login from 198.51.100.9: wrong server password for \\\"y\\\".\".",
        "Security: failed login from 127.0.0.2: wrong administrator password for \"root\".",
        "Security: failed login from 127.0.0.2: wrong password of channel \"/Quiet/\" for \"member\".",
        "Security: failed login from 127.0.0.2: wrong password of channel \"/Quiet/\" for \"member\".",
        "Security: lockout of 127.0.0.2 for 60 s after 3 wrong passwords.",
        "Security: failed login from 127.0.0.2: wrong password of channel \"/Quiet/\" for \"member\".",
        "Security: administrator \"root\" logged in from 127.0.0.1.",
        "Security: 127.0.0.3 banned (User #" + std::to_string(victim.id) + " name: \"victim\") " + kicker + ".",
        "Security: 127.0.0.3 unbanned " + kicker + ".",
        "Security: User #" + std::to_string(victim.id) + " name: \"victim\" from 127.0.0.3 kicked " + kicker + ".",
    };
    std::vector<std::string> lines;
    EXPECT_TRUE(WaitFor([&] { return (lines = SecurityLines()).size() >= expected.size(); }, DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(lines, expected);

    if (access("/usr/bin/fail2ban-regex", X_OK) != 0) GTEST_SKIP() << "fail2ban-regex is missing";
    const RunResult check =
        RunProgram("/usr/bin/fail2ban-regex",
                   {"-o", "<ip>", PathOf("QuorvaneService.log"),
                    std::string(QUORVANE_SOURCE_DIR) + "/packaging/fail2ban/filter.d/quorvane-server.conf"},
                   {});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, "127.0.0.2\n127.0.0.2\n127.0.0.2\n127.0.0.2\n127.0.0.2\n127.0.0.2\n") << check.err;
}

}  // namespace
}  // namespace test
}  // namespace quorvane
