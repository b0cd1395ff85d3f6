// Voice that belongs to its user, connections that cannot take their lines, and replies
// that are delivered whole however large the server's state is.
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
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

class OwnershipAndLagTest : public ServerFixture {
protected:
    // With receiveBuffer, the client's socket takes only that much before the server's
    // queue has to hold what it does not read.
    void LoginAndJoin(TestUser& user, const std::string& nickname, const std::string& channel, int receiveBuffer = 0) {
        if (receiveBuffer == 0) {
            ASSERT_TRUE(ConnectAndLogin(user, nickname));
        } else {
            ASSERT_TRUE(user.tcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, std::string(), receiveBuffer));
            user.id = IntParam(NextLine(user.tcp), "userid");
            SayHello(user);
            ASSERT_EQ(CommandWord(SendLogin(user, nickname)), "accepted");
        }
        user.tcp.Send("join channel=\"" + channel + "\"\r\n");
        ASSERT_FALSE(SkipUntil(user.tcp, "done").empty());
    }

    // The server handles its datagrams in order: what a datagram makes it send goes before
    // the answer to one sent after it, so that answer marks the end of the first one's
    // effects, and nothing has to be waited for to see that nothing came.

    // Sends the user's audio, then a keep-alive of the listener's own user from its socket,
    // and answers whether the audio reached the listener before the keep-alive's answer.
    bool Hears(VoiceClient& from, int senderId, int destId, VoiceClient& listener, int listenerId) {
        const std::string audio = AudioPacketBytes(5, senderId, destId, 24);
        from.SendTo(udpPort_, audio);
        listener.SendTo(udpPort_, HeaderPacketBytes(3, listenerId));
        std::string got;
        bool heard = false;
        while (listener.Receive(got, DEFAULT_TIMEOUT_MS)) {
            if (got.size() == audio.size() && got.substr(1) == audio.substr(1)) heard = true;
            else if (got[0] == KEEPALIVE_ANSWER) return heard;
        }
        ADD_FAILURE() << "the listener's keep-alive was not answered";
        return heard;
    }

    // Sends the datagram, then a marker the server answers (a hello, answered with an
    // acknowledgement, or a keep-alive), and answers whether the datagram got an answer of
    // its own: then the first answer is not the marker's.
    bool Answered(VoiceClient& client, const std::string& datagram, const std::string& marker) {
        client.SendTo(udpPort_, datagram);
        client.SendTo(udpPort_, marker);
        std::string got;
        EXPECT_TRUE(client.Receive(got, DEFAULT_TIMEOUT_MS)) << "the marker was not answered";
        return !got.empty() && got[0] != (marker[0] == HELLO ? ACKNOWLEDGE : KEEPALIVE_ANSWER);
    }

    enum { HELLO = 1, ACKNOWLEDGE = 2, KEEPALIVE = 3, KEEPALIVE_ANSWER = 6 };
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
    EXPECT_FALSE(Answered(attacker, HelloPacketBytes(victim.id), HeaderPacketBytes(KEEPALIVE, attackerId)));
    EXPECT_FALSE(Answered(attacker, HeaderPacketBytes(KEEPALIVE, victim.id), HelloPacketBytes(attackerId)));
    EXPECT_TRUE(Hears(friendly.udp, friendly.id, 0, victim.udp, victim.id));

    // Audio naming another sender is not relayed; nor is audio of a connection that
    // never logged in, even from its own address after its own hello.
    EXPECT_FALSE(Hears(attacker, victim.id, 0, friendly.udp, friendly.id));
    attacker.SendTo(udpPort_, HelloPacketBytes(attackerId));
    ASSERT_TRUE(attacker.Receive(answer, DEFAULT_TIMEOUT_MS));
    EXPECT_FALSE(Hears(attacker, attackerId, victim.id, victim.udp, victim.id));

    // Its own id from another host's socket is not its own either (the marker, the
    // victim's keep-alive from there, moves the victim as the next step does).
    VoiceClient elsewhere("127.0.0.1");
    EXPECT_FALSE(Answered(elsewhere, HelloPacketBytes(attackerId), HeaderPacketBytes(KEEPALIVE, victim.id)));

    // A user that moves to another port of its own address (NAT rebinding) keeps its voice.
    VoiceClient rebound("127.0.0.1");
    rebound.SendTo(udpPort_, HeaderPacketBytes(KEEPALIVE, victim.id));
    ASSERT_TRUE(rebound.Receive(answer, DEFAULT_TIMEOUT_MS));
    EXPECT_TRUE(Hears(friendly.udp, friendly.id, 0, rebound, victim.id));

    // Receivers must be logged in: after its logout the victim hears nothing.
    victim.tcp.Send("logout\r\n");
    ASSERT_FALSE(victim.tcp.Expect("loggedout").empty());
    EXPECT_FALSE(Hears(friendly.udp, friendly.id, victim.id, rebound, victim.id));
}

// A connection that does not read its lines is closed as lagging once its output is
// full, instead of being left half logged out; the others see it leave.
TEST_F(OwnershipAndLagTest, AConnectionThatCannotTakeItsLinesIsClosed) {
    ServerConfig config;
    config.serverLogging = true;
    config.commandRate = 0;  // the talker's long lines are not held back
    StartServer(config);
    TestUser talker, watcher, stalled;
    LoginAndJoin(talker, "talker", "/room/");
    LoginAndJoin(watcher, "watcher", "/room/");
    LoginAndJoin(stalled, "stalled", "/room/", 4096);

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

// Past max-output-queue the connections that hold the most output are closed as lagging,
// largest first, until the rest fit: of four that do not read, not all, and none that reads.
TEST_F(OwnershipAndLagTest, TheOutputOfEveryConnectionTogetherIsBounded) {
    ServerConfig config;
    config.serverLogging = true;
    config.commandRate = 0;
    // Each queue stays below its own 1 MiB; the messages they share count a few times in all.
    config.maxOutputQueue = 512 * 1024;
    StartServer(config);
    TestUser talker, watcher, stalled[4];
    LoginAndJoin(talker, "talker", "/room/");
    LoginAndJoin(watcher, "watcher", "/room/");
    for (int i = 0; i < 4; ++i) LoginAndJoin(stalled[i], "stalled" + std::to_string(i), "/room/", 4096);

    const std::string message = "message type=2 channel=\"\" content=\"" + std::string(8000, 'm') + "\"\r\n";
    const auto closures = [&] {
        const std::string log = ReadFile("QuorvaneService.log");
        int count = 0;
        for (size_t at = 0; (at = log.find("disconnected for lagging", at)) != std::string::npos; ++at) ++count;
        return count;
    };
    for (int batch = 0; batch < 200 && closures() == 0; ++batch) {
        std::string lines;
        for (int i = 0; i < 10; ++i) lines += message;
        talker.tcp.Send(lines + "ping\r\n");
        ASSERT_EQ(SkipUntil(talker.tcp, "pong"), "pong");
        watcher.tcp.Send("ping\r\n");
        ASSERT_EQ(SkipUntil(watcher.tcp, "pong"), "pong");
    }
    ASSERT_GT(closures(), 0) << "nothing was closed";
    EXPECT_LE(closures(), 2);
    int open = 0;
    for (TestUser& user : stalled) {
        user.tcp.Send("ping\r\n");
        open += user.tcp.Expect("pong", DEFAULT_TIMEOUT_MS) == "pong";
    }
    EXPECT_GE(open, 2);
    EXPECT_EQ(ReadFile("QuorvaneService.log").find("\"watcher\" disconnected"), std::string::npos);
}

// Another user's long channel messages, 200 at once and then 20 a second, never make a member
// that reads 50 KB a second lag: the throttle counts the bytes of the sender's lines, so the
// sender is held back (the pong of a ping sent behind them waits) while the reader keeps up.
TEST_F(OwnershipAndLagTest, LongMessagesAreThrottledByTheirBytes) {
    ServerConfig config;
    config.serverLogging = true;
    StartServer(config);
    TestUser sender, reader;
    LoginAndJoin(sender, "sender", "/Lobby/");
    LoginAndJoin(reader, "reader", "/Lobby/", 16384);

    const std::string message = "message type=2 channel=\"/Lobby/\" content=\"" + std::string(8000, 'm') + "\"\r\n";
    std::thread attack([&] {
        std::string burst;
        for (int i = 0; i < 200; ++i) burst += message;
        if (!sender.tcp.Send(burst + "ping\r\n")) return;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 200 && sender.tcp.Send(message); ++i)
            std::this_thread::sleep_until(start + std::chrono::milliseconds(50 * i));
    });
    // The reader takes 50 KB a second (its own pace, not a wait for the server) until 40
    // messages came; the sender's copies are read as they come.
    const int MESSAGES = 40;
    const auto start = std::chrono::steady_clock::now();
    size_t taken = 0;
    int messages = 0;
    bool senderAnswered = false, readerOpen = true;
    std::string pending, bytes;
    while (messages < MESSAGES && readerOpen) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const size_t allowed =
            static_cast<size_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) * 50;
        if (taken + 4096 > allowed) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds((taken + 4096) / 50));
            continue;
        }
        readerOpen = reader.tcp.ReadSome(allowed - taken, bytes, DEFAULT_TIMEOUT_MS);
        taken += bytes.size();
        pending += bytes;
        for (size_t lf; (lf = pending.find('\n')) != std::string::npos; pending.erase(0, lf + 1))
            messages += pending.compare(0, 15, "messagedeliver ") == 0;
        while (sender.tcp.ReadSome(1 << 20, bytes, 0)) senderAnswered |= bytes.find("pong") != std::string::npos;
    }
    EXPECT_TRUE(readerOpen);
    EXPECT_EQ(messages, MESSAGES);
    EXPECT_FALSE(senderAnswered) << "the sender's 200 long messages were not held back";
    reader.tcp.Send("ping\r\n");
    EXPECT_EQ(SkipUntil(reader.tcp, "pong"), "pong");
    EXPECT_EQ(ReadFile("QuorvaneService.log").find("lagging"), std::string::npos);
    shutdown(sender.tcp.Fd(), SHUT_RDWR);
    attack.join();
}

// Listings are made as their connections drain: a hundred logins that do not read their
// listing of 10,000 long channels (15 MB each) hold little of the server's memory, a client
// that reads gets every line as the tree was at its login, and the news of the tree since
// follows. The first login builds the lines that all the listings share; held whole, each
// later one would cost the server its 15 MB again.
TEST_F(OwnershipAndLagTest, UnreadListingsHoldLittleMemory) {
    const int TOP = 100, IDLE = 100;  // 100 channels with 99 sub-channels each: 10,000
    ServerConfig config;
    config.maxConnectionsPerAddress = 0;
    config.maxChannels = 0;
    config.adminEnabled = true;
    config.adminUsername = "Admin";
    config.adminPassword = "pw";
    const std::string name(480, 'n'), topic(500, 't');
    const auto element = [&](int i, const std::string& inside) {
        return "<channel><name>" + std::to_string(i) + name + "</name><password></password><topic>" + topic +
               "</topic><diskquota>0</diskquota>" + inside + "</channel>";
    };
    const auto line = [&](const std::string& path) {
        return "addchannel channel=\"" + path + "\" protected=0 topic=\"" + topic +
               "\" operators=[] usercount=0 diskquota=0";
    };
    std::vector<std::string> expected = {
        "addchannel channel=\"/\" protected=0 topic=\"\" operators=[] usercount=0 "
        "diskquota=0"};
    for (int i = 0; i < TOP; ++i) {
        std::string below;
        for (int j = 0; j < TOP - 1; ++j) below += element(j, "");
        config.staticChannels += element(i, below);
        expected.push_back(line("/" + std::to_string(i) + name + "/"));
    }
    for (int i = 0; i < TOP; ++i)
        for (int j = 0; j < TOP - 1; ++j)
            expected.push_back(line("/" + std::to_string(i) + name + "/" + std::to_string(j) + name + "/"));
    expected.push_back("done");
    StartServer(config);
    const std::string status = "/proc/" + std::to_string(pid_) + "/status";
    const long long start = ProcField(status, "VmRSS");
    long long first = 0;  // kB after the first login
    std::vector<std::unique_ptr<TestUser>> idle;
    for (int i = 0; i < IDLE; ++i) {
        idle.emplace_back(new TestUser);
        ASSERT_TRUE(idle.back()->tcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, std::string(), 4096));
        idle.back()->id = IntParam(NextLine(idle.back()->tcp), "userid");
        SayHello(*idle.back());
        ASSERT_EQ(CommandWord(SendLogin(*idle.back(), "idle" + std::to_string(i))), "accepted");
        if (i == 0) first = ProcField(status, "VmRSS");
    }
    TestUser reader, admin;
    Connect(reader);
    SayHello(reader);
    ASSERT_EQ(CommandWord(SendLogin(reader, "reader")), "accepted");
    std::vector<std::string> listing;
    listing.push_back(reader.tcp.Expect("done", DEFAULT_TIMEOUT_MS * 3, &listing));
    EXPECT_TRUE(listing == expected) << listing.size() << " lines";
    const long long now = ProcField(status, "VmRSS");
    EXPECT_LT(now - first, 16 * 1024) << "kB grown by the 99 later logins";
    EXPECT_LT(now - start, 512 * 1024) << "kB grown by the 100 logins";

    // The tree changes while the idle listings wait: the first is still the tree of its
    // login, and the news follows it.
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "pw"));
    admin.tcp.Send("makechannel channel=\"/new/\"\r\nremovechannel channel=\"/0" + name + "/0" + name +
                   "/\"\r\nping\r\n");
    ASSERT_EQ(SkipUntil(admin.tcp, "pong"), "pong");
    listing.clear();
    listing.push_back(idle[0]->tcp.Expect("done", DEFAULT_TIMEOUT_MS * 3, &listing));
    EXPECT_TRUE(listing == expected) << listing.size() << " lines";
    EXPECT_EQ(NextLine(idle[0]->tcp),
              "addchannel channel=\"/new/\" protected=0 topic=\"\" operators=[] usercount=0 diskquota=0");
    EXPECT_EQ(NextLine(idle[0]->tcp), "removechannel channel=\"/0" + name + "/0" + name + "/\"");
}

// With more channels than the output's high water mark can hold in one listing, every
// newcomer still gets its whole listing.
TEST_F(OwnershipAndLagTest, ALargeListingIsDeliveredWhole) {
    ServerConfig config;
    config.adminEnabled = true;
    config.adminUsername = "Admin";
    config.adminPassword = "pw";
    config.commandRate = 0;  // the 1,100 channels are made at once, not at the command rate
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
