// Voice that belongs to its user, connections that cannot take their lines, and replies
// that are delivered whole however large the server's state is.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::AudioPacketBytes;
using testing_support::HelloPacketBytes;
using testing_support::IntParam;
using testing_support::LineClient;
using testing_support::Param;
using testing_support::VoiceClient;
using testing_support::WaitFor;

const int QUIET_MS = 200;  // how long "nothing arrives" is watched for

class OwnershipAndLagTest : public ServerFixture {
protected:
    void LoginAndJoin(TestUser& user, const std::string& nickname, const std::string& channel) {
        ASSERT_TRUE(ConnectAndLogin(user, nickname));
        user.tcp.Send("join channel=\"" + channel + "\"\r\n");
        ASSERT_FALSE(SkipUntil(user.tcp, "done").empty());
    }

    // Sends the user's audio and answers whether the listener got it, relayed.
    bool Hears(VoiceClient& from, int senderId, int destId, VoiceClient& listener) {
        const std::string audio = AudioPacketBytes(5, senderId, destId, 24);
        from.SendTo(udpPort_, audio);
        std::string got;
        while (listener.Receive(got, QUIET_MS))
            if (got.size() == audio.size() && got.substr(1) == audio.substr(1)) return true;
        return false;
    }
};

TEST_F(OwnershipAndLagTest, VoiceBelongsToTheAddressOfItsConnection) {
    StartServer();
    TestUser victim, friendly;
    LoginAndJoin(victim, "victim", "/room/");
    LoginAndJoin(friendly, "friendly", "/room/");

    // A foreign host: its command connection and its voice come from 127.0.0.2.
    LineClient attackerTcp;
    ASSERT_TRUE(attackerTcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, "127.0.0.2"));
    const int attackerId = IntParam(NextLine(attackerTcp), "userid");
    VoiceClient attacker("127.0.0.2");
    std::string answer;

    // Hellos and keep-alives naming someone else are not answered and move nothing.
    attacker.SendTo(udpPort_, HelloPacketBytes(victim.id));
    attacker.SendTo(udpPort_, HeaderPacketBytes(3, victim.id));
    EXPECT_FALSE(attacker.Receive(answer, QUIET_MS));
    EXPECT_TRUE(Hears(friendly.udp, friendly.id, 0, victim.udp));

    // Audio naming another sender is not relayed; nor is audio of a connection that
    // never logged in, even from its own address after its own hello.
    EXPECT_FALSE(Hears(attacker, victim.id, 0, friendly.udp));
    attacker.SendTo(udpPort_, HelloPacketBytes(attackerId));
    ASSERT_TRUE(attacker.Receive(answer, DEFAULT_TIMEOUT_MS));
    EXPECT_FALSE(Hears(attacker, attackerId, victim.id, victim.udp));

    // Its own id from another host's socket is not its own either.
    VoiceClient elsewhere("127.0.0.1");
    elsewhere.SendTo(udpPort_, HelloPacketBytes(attackerId));
    EXPECT_FALSE(elsewhere.Receive(answer, QUIET_MS));

    // A user that moves to another port of its own address (NAT rebinding) keeps its voice.
    VoiceClient rebound("127.0.0.1");
    rebound.SendTo(udpPort_, HeaderPacketBytes(3, victim.id));
    ASSERT_TRUE(rebound.Receive(answer, DEFAULT_TIMEOUT_MS));
    EXPECT_TRUE(Hears(friendly.udp, friendly.id, 0, rebound));

    // Receivers must be logged in: after its logout the victim hears nothing.
    victim.tcp.Send("logout\r\n");
    ASSERT_FALSE(victim.tcp.Expect("loggedout").empty());
    EXPECT_FALSE(Hears(friendly.udp, friendly.id, victim.id, rebound));
}

// A connection that does not read its lines is closed as lagging once its output is
// full, instead of being left half logged out; the others see it leave.
TEST_F(OwnershipAndLagTest, AConnectionThatCannotTakeItsLinesIsClosed) {
    ServerConfig config;
    config.serverLogging = true;
    StartServer(config);
    TestUser talker, watcher, stalled;
    LoginAndJoin(talker, "talker", "/room/");
    LoginAndJoin(watcher, "watcher", "/room/");
    ASSERT_TRUE(stalled.tcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, std::string(), 4096));
    stalled.id = IntParam(NextLine(stalled.tcp), "userid");
    SayHello(stalled);
    ASSERT_EQ(CommandWord(SendLogin(stalled, "stalled")), "accepted");
    stalled.tcp.Send("join channel=\"/room/\"\r\n");
    ASSERT_FALSE(SkipUntil(stalled.tcp, "done").empty());

    // Channel messages go to the whole room; the stalled user reads nothing.
    const std::string message = "message type=2 channel=\"\" content=\"" + std::string(8000, 'm') + "\"\r\n";
    bool closed = false;
    for (int i = 0; i < 4000 && !closed; ++i) {
        talker.tcp.Send(message);
        if (i % 50 == 49) {
            talker.tcp.Send("ping\r\n");
            SkipUntil(talker.tcp, "pong");
            closed = WaitFor([&] { return ReadFile("QuorvaneService.log").find("lagging") != std::string::npos; }, 10);
        }
    }
    ASSERT_TRUE(closed) << "the stalled connection was never closed";
    const std::string removed = watcher.tcp.Expect("removeuser", DEFAULT_TIMEOUT_MS);
    EXPECT_EQ(IntParam(removed, "userid"), stalled.id);
    EXPECT_TRUE(stalled.tcp.WaitClosed(DEFAULT_TIMEOUT_MS * 3));
    EXPECT_NE(ReadFile("QuorvaneService.log").find("name: \"stalled\" disconnected for lagging"), std::string::npos);
    talker.tcp.Send("ping\r\n");
    EXPECT_EQ(SkipUntil(talker.tcp, "pong"), "pong");
}

// With more channels than the output's high water mark can hold in one listing, every
// newcomer still gets its whole listing.
TEST_F(OwnershipAndLagTest, ALargeListingIsDeliveredWhole) {
    ServerConfig config;
    config.adminEnabled = true;
    config.adminUsername = "Admin";
    config.adminPassword = "pw";
    StartServer(config);
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "pw"));
    const std::string name(480, 'n');
    const std::string topic(500, 't');
    const int channels = 1100;  // about 1.1 MB of addchannel lines
    // In batches, reading the replies in between, as a client that does not pipeline
    // megabytes of commands without reading would.
    for (int batch = 0; batch < channels; batch += 100) {
        std::string commands;
        for (int i = batch; i < batch + 100 && i < channels; ++i)
            commands += "makechannel channel=\"/" + name + std::to_string(i) + "/\" topic=\"" + topic + "\"\r\n";
        admin.tcp.Send(commands + "ping\r\n");
        ASSERT_EQ(admin.tcp.Expect("pong", DEFAULT_TIMEOUT_MS * 3), "pong");
    }

    TestUser late;
    ASSERT_GT(Connect(late), 0);
    SayHello(late);
    EXPECT_EQ(CommandWord(SendLogin(late, "late")), "accepted");
    std::vector<std::string> listing;
    EXPECT_EQ(late.tcp.Expect("done", DEFAULT_TIMEOUT_MS * 3, &listing), "done");
    EXPECT_EQ(listing.size(), static_cast<size_t>(channels) + 1);
}

// Many users leaving at once: the one who stays hears each of them leave exactly once and
// the channel as it is left, and another client is answered meanwhile.
TEST_F(OwnershipAndLagTest, ManyUsersLeavingAtOnceAreEachToldOnce) {
    ServerConfig config;
    config.maxConnectionsPerAddress = 0;
    StartServer(config);
    TestUser watcher, pinger;
    LoginAndJoin(watcher, "watcher", "/crowd/");
    ASSERT_TRUE(ConnectAndLogin(pinger, "pinger"));
    const int LEAVERS = 60;
    std::vector<std::unique_ptr<TestUser>> leavers;
    for (int i = 0; i < LEAVERS; ++i) {
        leavers.emplace_back(new TestUser);
        LoginAndJoin(*leavers.back(), "leaver" + std::to_string(i), "/crowd/");
    }
    watcher.tcp.Send("ping\r\n");
    ASSERT_EQ(SkipUntil(watcher.tcp, "pong"), "pong");
    for (auto& leaver : leavers) leaver->tcp.Close();
    pinger.tcp.Send("ping\r\n");
    EXPECT_EQ(SkipUntil(pinger.tcp, "pong"), "pong");

    std::set<int> heard;
    int removals = 0;
    std::string line;
    while (heard.size() < static_cast<size_t>(LEAVERS) || IntParam(line, "usercount") != 1) {
        line = NextLine(watcher.tcp);
        ASSERT_FALSE(line.empty());
        if (CommandWord(line) != "removeuser") continue;
        ++removals;
        heard.insert(IntParam(line, "userid"));
    }
    EXPECT_EQ(removals, LEAVERS);
    EXPECT_EQ(heard.size(), static_cast<size_t>(LEAVERS));
    EXPECT_EQ(CommandWord(line), "updatechannel");
}

}  // namespace
}  // namespace test
}  // namespace quorvane
