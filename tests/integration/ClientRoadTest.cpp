// A client's road through the real server over real sockets: welcome, voice hello,
// login, channels, voice relay, and the framing and refusals of the command protocol.
#include <sys/socket.h>
#include <sys/time.h>

#include <string>

#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::AudioPacketBytes;
using testing_support::IntParam;
using testing_support::Param;

std::string ErrorLine(int number, const std::string& message) {
    return "error number=" + std::to_string(number) + " message=\"" + message + "\"";
}

std::string GamesLine(const std::string& word, const std::string& operators, int users) {
    return word + " channel=\"/Games/\" protected=0 topic=\"Fun\" operators=[" + operators +
           "] usercount=" + std::to_string(users) + " diskquota=0";
}

// Sends a keep-alive and expects its answer as the next datagram: anything the server
// sent this user before it would come first.
void ExpectOnlyKeepAliveAnswer(TestUser& user, int udpPort) {
    ASSERT_TRUE(user.udp.SendTo(udpPort, HeaderPacketBytes(3, user.id)));
    std::string datagram;
    ASSERT_TRUE(user.udp.Receive(datagram, DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(datagram, Bytes({6, 5, 6, 0, 0, 0})) << "user " << user.id;
}

// The audio packet with its type byte changed, as the server relays it.
std::string Relayed(std::string packet, int type) {
    packet[0] = static_cast<char>(type);
    return packet;
}

class ClientRoadTest : public ServerFixture {
protected:
    // Joins /Games/ and reads the joiner's lines up to its "done".
    void JoinGames(TestUser& user) {
        ASSERT_TRUE(user.tcp.Send("join channel=\"/Games/\" topic=\"Fun\"\r\n"));
        SkipUntil(user.tcp, "done");
    }
};

TEST_F(ClientRoadTest, WelcomeNumbersConnectionsWithoutReusingIds) {
    ServerConfig config;
    config.serverName = "Test \"Server\"";
    config.motd = "Hello";
    config.allowOperators = false;
    StartServer(config);

    TestUser first, second, third, fourth;
    EXPECT_EQ(Connect(first), 1);
    EXPECT_EQ(Connect(second), 2);
    EXPECT_EQ(Connect(third), 3);
    EXPECT_EQ(first.welcome,
              "welcome userid=1 servername=\"Test \\\"Server\\\"\" motd=\"Hello\" forwarding=1 "
              "channels=1 operators=0 protocol=\"3.4\"");
    second.tcp.Close();
    EXPECT_EQ(Connect(fourth), 4);
}

TEST_F(ClientRoadTest, HelloKeepAliveAndLogin) {
    StartServer();
    TestUser user;
    ASSERT_EQ(Connect(user), 1);
    SayHello(user);
    ExpectOnlyKeepAliveAnswer(user, udpPort_);

    EXPECT_EQ(SendLogin(user, "ann"), "accepted userid=1 nickname=\"ann\" address=\"127.0.0.1\" soundport=" +
                                          std::to_string(user.udp.LocalPort()) +
                                          " bandmode=0 framesize=320 encodedframesize=20 fpp=2");
    EXPECT_EQ(NextLine(user.tcp),
              "addchannel channel=\"/\" protected=0 topic=\"\" operators=[] usercount=0 diskquota=0");
    EXPECT_EQ(NextLine(user.tcp), "done");
}

TEST_F(ClientRoadTest, LoginRefusals) {
    ServerConfig config;
    config.serverPassword = "secret";
    config.maxUsers = 1;
    StartServer(config);

    TestUser ann;
    Connect(ann);
    EXPECT_EQ(SendLogin(ann, "ann", "secret"), ErrorLine(302, "Connect on UDP has not yet occurred"));
    SayHello(ann);
    EXPECT_EQ(SendLogin(ann, "ann", "Secret"), ErrorLine(200, "Incorrect password"));
    // Command words are matched in any letter case.
    EXPECT_EQ(CommandWord(SendLogin(ann, "ann", "secret", "LOGIN")), "accepted");
    SkipUntil(ann.tcp, "done");
    EXPECT_EQ(SendLogin(ann, "ann", "secret", "Login"), ErrorLine(300, "Already logged in"));

    TestUser bob;
    Connect(bob);
    SayHello(bob);
    EXPECT_EQ(SendLogin(bob, "bob", "secret"), ErrorLine(208, "Maximum number of users exceeded"));
    // Her place is free once she has logged out.
    ann.tcp.Send("logout\r\n");
    SkipUntil(ann.tcp, "loggedout");
    EXPECT_EQ(CommandWord(SendLogin(bob, "bob", "secret")), "accepted");
}

TEST_F(ClientRoadTest, CommandFraming) {
    StartServer();
    TestUser user;
    Connect(user);
    SayHello(user);

    // The exact bytes of an error line, terminator included.
    user.tcp.Send("frobnicate\r\n");
    const std::string expected = ErrorLine(101, "Command not recognized") + "\r\n";
    const struct timeval limit = {DEFAULT_TIMEOUT_MS / 1000, 0};
    setsockopt(user.tcp.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string received;
    while (received.size() < expected.size()) {
        char chunk[256];
        const ssize_t n = recv(user.tcp.Fd(), chunk, sizeof(chunk), 0);
        ASSERT_GT(n, 0);
        received.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_EQ(received, expected);

    user.tcp.Send("ping x\r\n");
    EXPECT_EQ(NextLine(user.tcp), ErrorLine(100, "Syntax error in command"));
    user.tcp.Send("\r\n");
    EXPECT_EQ(NextLine(user.tcp), ErrorLine(101, "Command not recognized"));
    // A lone LF is ignored: the next line answered is the ping's.
    user.tcp.Send("\nPING\r\n");
    EXPECT_EQ(NextLine(user.tcp), "pong");
    // Parameter names keep their letter case.
    user.tcp.Send("login protocol=\"3.4\" Nickname=\"ann\"\r\n");
    EXPECT_EQ(NextLine(user.tcp), ErrorLine(2001, "Missing nickname parameter"));

    // A command split across two writes, then two commands in one write.
    user.tcp.Send("pi");
    user.tcp.Send("ng\r\n");
    EXPECT_EQ(NextLine(user.tcp), "pong");
    user.tcp.Send("ping\r\nPing   \r\n");
    EXPECT_EQ(NextLine(user.tcp), "pong");
    EXPECT_EQ(NextLine(user.tcp), "pong");

    // Nothing after quit is handled: the connection closes without a pong.
    user.tcp.Send("quit\r\nping\r\n");
    std::string line;
    EXPECT_FALSE(user.tcp.ReadLine(line, DEFAULT_TIMEOUT_MS)) << line;
    EXPECT_TRUE(user.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
}

TEST_F(ClientRoadTest, JoinLeaveRejoinAndDisconnect) {
    StartServer();
    TestUser ann, bob;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));

    // Joining a missing channel creates it, announced to everyone before "joined".
    ann.tcp.Send("join channel=\"/Games/\" topic=\"Fun\"\r\n");
    EXPECT_EQ(NextLine(ann.tcp), GamesLine("addchannel", "", 0));
    EXPECT_EQ(NextLine(ann.tcp), "joined channel=\"/Games/\"");
    const std::string self = NextLine(ann.tcp);
    EXPECT_EQ(CommandWord(self), "adduser");
    EXPECT_EQ(IntParam(self, "userid"), ann.id);
    EXPECT_EQ(Param(self, "nickname"), "ann");
    EXPECT_EQ(Param(self, "channel"), "/Games/");
    EXPECT_EQ(IntParam(self, "soundport"), ann.udp.LocalPort());
    EXPECT_EQ(NextLine(ann.tcp), "done");
    const std::string joinedUpdate = GamesLine("updatechannel", std::to_string(ann.id), 1);
    EXPECT_EQ(NextLine(ann.tcp), joinedUpdate);
    EXPECT_EQ(NextLine(bob.tcp), GamesLine("addchannel", "", 0));
    EXPECT_EQ(NextLine(bob.tcp), joinedUpdate);

    // Leaving keeps the channel.
    ann.tcp.Send("leave\r\n");
    EXPECT_EQ(NextLine(ann.tcp), "left channel=\"/Games/\"");
    const std::string leftUpdate = GamesLine("updatechannel", std::to_string(ann.id), 0);
    EXPECT_EQ(NextLine(ann.tcp), leftUpdate);
    EXPECT_EQ(NextLine(bob.tcp), leftUpdate);

    // Channel paths are matched in any letter case.
    ann.tcp.Send("join channel=\"/games/\"\r\n");
    EXPECT_EQ(NextLine(ann.tcp), "joined channel=\"/Games/\"");
    EXPECT_EQ(IntParam(NextLine(ann.tcp), "userid"), ann.id);
    EXPECT_EQ(NextLine(ann.tcp), "done");
    EXPECT_EQ(NextLine(ann.tcp), joinedUpdate);
    EXPECT_EQ(NextLine(bob.tcp), joinedUpdate);

    // The last member's disconnection removes the channel, which was not static.
    ann.tcp.Close();
    EXPECT_EQ(NextLine(bob.tcp), leftUpdate);
    EXPECT_EQ(NextLine(bob.tcp), "removechannel channel=\"/Games/\"");
    bob.tcp.Send("join channel=\"/Games/\" topic=\"Fun\"\r\n");
    EXPECT_EQ(NextLine(bob.tcp), GamesLine("addchannel", "", 0));
}

TEST_F(ClientRoadTest, VoiceRelay) {
    StartServer();
    TestUser ann, bob, cat, dan;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    ASSERT_TRUE(ConnectAndLogin(cat, "cat"));
    ASSERT_TRUE(ConnectAndLogin(dan, "dan"));
    JoinGames(ann);
    JoinGames(bob);
    JoinGames(cat);

    // To the channel: every other member gets the packet as type 4, cut to its length
    // field; the sender and users outside the channel get nothing.
    ASSERT_TRUE(ann.udp.SendTo(udpPort_, AudioPacketBytes(5, ann.id, 0, 20, 24)));
    const std::string relayed = Relayed(AudioPacketBytes(5, ann.id, 0, 20), 4);
    std::string datagram;
    for (TestUser* receiver : {&bob, &cat}) {
        ASSERT_TRUE(receiver->udp.Receive(datagram, DEFAULT_TIMEOUT_MS)) << "user " << receiver->id;
        EXPECT_EQ(datagram, relayed) << "user " << receiver->id;
    }
    ExpectOnlyKeepAliveAnswer(ann, udpPort_);
    ExpectOnlyKeepAliveAnswer(dan, udpPort_);

    // To one user, here one outside the sender's channel.
    ASSERT_TRUE(ann.udp.SendTo(udpPort_, AudioPacketBytes(5, ann.id, dan.id, 30)));
    ASSERT_TRUE(dan.udp.Receive(datagram, DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(datagram, Relayed(AudioPacketBytes(5, ann.id, dan.id, 30), 4));
    ExpectOnlyKeepAliveAnswer(bob, udpPort_);
    ExpectOnlyKeepAliveAnswer(cat, udpPort_);

    // Enciphered audio is relayed the same way, as type 7.
    ASSERT_TRUE(bob.udp.SendTo(udpPort_, AudioPacketBytes(8, bob.id, 0, 16)));
    for (TestUser* receiver : {&ann, &cat}) {
        ASSERT_TRUE(receiver->udp.Receive(datagram, DEFAULT_TIMEOUT_MS)) << "user " << receiver->id;
        EXPECT_EQ(datagram, Relayed(AudioPacketBytes(8, bob.id, 0, 16), 7)) << "user " << receiver->id;
    }
    ExpectOnlyKeepAliveAnswer(bob, udpPort_);
}

// Bound to every address, the server answers from the address each client sends to: a
// client of another local address (127.0.0.2, as a second IP would be) gets its hello
// acknowledged, its keep-alives answered and the channel's voice, all from that address,
// while a client of the first address is served from the first.
TEST_F(ClientRoadTest, VoiceLeavesFromTheAddressTheClientSendsTo) {
    ServerConfig config;
    config.bindIp = "";
    StartServer(config);
    TestUser ann, bob;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    testing_support::VoiceClient second("127.0.0.1", "127.0.0.2");
    ASSERT_GT(Connect(bob), 0);
    std::string datagram;
    ASSERT_TRUE(second.SendTo(udpPort_, testing_support::HelloPacketBytes(bob.id)));
    ASSERT_TRUE(second.Receive(datagram, DEFAULT_TIMEOUT_MS)) << "no acknowledgement from 127.0.0.2";
    EXPECT_EQ(datagram, Bytes({2, 5, 6, 0, 0, 0}));
    ASSERT_EQ(CommandWord(SendLogin(bob, "bob")), "accepted");
    ASSERT_FALSE(SkipUntil(bob.tcp, "done").empty());
    JoinGames(ann);
    JoinGames(bob);

    ASSERT_TRUE(second.SendTo(udpPort_, HeaderPacketBytes(3, bob.id)));
    ASSERT_TRUE(second.Receive(datagram, DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(datagram, Bytes({6, 5, 6, 0, 0, 0}));
    ASSERT_TRUE(ann.udp.SendTo(udpPort_, AudioPacketBytes(5, ann.id, 0, 20)));
    ASSERT_TRUE(second.Receive(datagram, DEFAULT_TIMEOUT_MS)) << "no voice from 127.0.0.2";
    EXPECT_EQ(datagram, Relayed(AudioPacketBytes(5, ann.id, 0, 20), 4));
    ASSERT_TRUE(second.SendTo(udpPort_, AudioPacketBytes(5, bob.id, ann.id, 24)));
    ASSERT_TRUE(ann.udp.Receive(datagram, DEFAULT_TIMEOUT_MS));
    EXPECT_EQ(datagram, Relayed(AudioPacketBytes(5, bob.id, ann.id, 24), 4));
    ExpectOnlyKeepAliveAnswer(ann, udpPort_);
}

}  // namespace
}  // namespace test
}  // namespace quorvane
