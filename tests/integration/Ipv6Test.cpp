// IPv6 on the real server: IPv4 and IPv6 users on the dual-stack sockets, addresses in the
// lines, bans and limits by an IPv6 client's network, the ban list after a restart,
// bind-ip, the client and the metrics over IPv6. Each test runs in a network namespace of
// its own (see Ipv6Network), so a server bound to every address is reachable from the
// test alone; without IPv6 the tests skip, saying so.
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Ipv6Network.h"
#include "ServerFixture.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::AudioPacketBytes;
using testing_support::FreePort;
using testing_support::LineClient;
using testing_support::Param;
using testing_support::WaitFor;

// The addresses the resolver gives for the name, as text.
std::vector<std::string> AddressesOf(const char* name) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.push_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

class Ipv6Test : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        std::string why;
        isolated_ = network_.Enter(isolation_);
        if (!Ipv6Network::HasIpv6(why)) GTEST_SKIP() << why;
    }

    static ServerConfig Config(const std::string& bindIp) {
        ServerConfig config;
        config.bindIp = bindIp;
        config.adminEnabled = true;
        config.adminUsername = "root";
        config.adminPassword = "pw";
        return config;
    }

    // The lines that came up to the line's answer (its last line's word given), that included.
    static std::vector<std::string> Ask(TestUser& user, const std::string& line, const std::string& last = "done") {
        user.tcp.Send(line + "\r\n");
        std::vector<std::string> lines;
        lines.push_back(user.tcp.Expect(last, DEFAULT_TIMEOUT_MS, &lines));
        return lines;
    }

    // The address parameter of the first line with the word, from the lines.
    static std::string AddressIn(const std::vector<std::string>& lines, const std::string& word,
                                 const std::string& nickname = "") {
        for (const std::string& line : lines)
            if (CommandWord(line) == word && (nickname.empty() || Param(line, "nickname") == nickname))
                return Param(line, "address");
        return "<no " + word + " line>";
    }

    Ipv6Network network_;
    bool isolated_ = false;
    std::string isolation_;
};

TEST_F(Ipv6Test, Ipv4AndIpv6UsersTalkInOneChannelAndSeeEachOthersAddressesAsTheyAre) {
    ServerConfig config = Config("");
    config.serverLogging = true;
    StartServer(config);
    EXPECT_TRUE(WaitFor([&] { return ServerErrors().find(" on every address,") != std::string::npos; }))
        << ServerErrors();
    TestUser ann("127.0.0.1"), bob("::1"), admin;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    ASSERT_TRUE(ConnectAdmin(admin, "root", "pw"));
    std::vector<std::string> annSaw = Ask(ann, "join channel=\"/Lobby/\"");
    const std::vector<std::string> bobSaw = Ask(bob, "join channel=\"/Lobby/\"");
    const std::vector<std::string> annSawBob = Ask(ann, "whoami", "youare");
    annSaw.insert(annSaw.end(), annSawBob.begin(), annSawBob.end());
    const std::vector<std::string> listed = Ask(admin, "listusers");

    const struct {
        const std::vector<std::string>& lines;
        const char* word;
        const char* nickname;
        const char* address;
    } seen[] = {
        {annSaw, "youare", "ann", "127.0.0.1"}, {bobSaw, "adduser", "ann", "127.0.0.1"},
        {annSaw, "adduser", "bob", "::1"},      {listed, "userinfo", "ann", "127.0.0.1"},
        {listed, "userinfo", "bob", "::1"},
    };
    for (const auto& s : seen)
        EXPECT_EQ(AddressIn(s.lines, s.word, s.nickname), s.address) << s.word << " " << s.nickname;
    for (const std::vector<std::string>* lines :
         std::vector<const std::vector<std::string>*>{&annSaw, &bobSaw, &listed})
        for (const std::string& line : *lines) EXPECT_EQ(line.find("::ffff:"), std::string::npos) << line;
    const std::string log = ReadFile("QuorvaneService.log");
    for (const char* entry :
         {"TCP address: 127.0.0.1 ", "UDP address: 127.0.0.1 ", "TCP address: ::1 ", "UDP address: ::1 "})
        EXPECT_NE(log.find(entry), std::string::npos) << entry << "\n" << log;
    EXPECT_EQ(log.find("::ffff:"), std::string::npos) << log;

    // Voice both ways, to the channel and to one user, and messages both ways.
    const struct {
        TestUser* from;
        TestUser* to;
        int type;
        bool direct;
    } voice[] = {{&ann, &bob, 5, false}, {&bob, &ann, 5, false}, {&bob, &ann, 8, true}, {&ann, &bob, 8, true}};
    for (const auto& v : voice) {
        std::string sent = AudioPacketBytes(v.type, v.from->id, v.direct ? v.to->id : 0, 40), received;
        ASSERT_TRUE(v.from->udp.SendTo(udpPort_, sent));
        ASSERT_TRUE(v.to->udp.Receive(received, DEFAULT_TIMEOUT_MS)) << v.from->source << " to " << v.to->source;
        sent[0] = static_cast<char>(v.type - 1);
        EXPECT_EQ(received, sent);
    }
    ann.tcp.Send("message type=1 to=" + std::to_string(bob.id) + " channel=\"\" content=\"hi bob\"\r\n");
    EXPECT_EQ(Param(SkipUntil(bob.tcp, "messagedeliver"), "content"), "hi bob");
    bob.tcp.Send("message type=2 channel=\"/Lobby/\" content=\"hi all\"\r\n");
    EXPECT_EQ(Param(SkipUntil(ann.tcp, "messagedeliver"), "content"), "hi all");

    // A ban takes each user's own address, IPv4 as plain IPv4.
    EXPECT_EQ(Ask(admin, "ban userid=" + std::to_string(ann.id), "ok").back(), "ok");
    EXPECT_EQ(Ask(admin, "ban userid=" + std::to_string(bob.id), "ok").back(), "ok");
    const std::vector<std::string> bans = Ask(admin, "listbans");
    ASSERT_EQ(bans.size(), 3u);
    EXPECT_EQ(Param(bans[0], "address"), "127.0.0.1");
    EXPECT_EQ(Param(bans[1], "address"), "::1");
}

// max-connections-per-address 3 and password-lockout 3, by /64 and then by /128.
TEST_F(Ipv6Test, BansLimitsAndLockoutCountAnIpv6ClientByItsNetwork) {
    if (!isolated_) GTEST_SKIP() << isolation_;
    for (const int prefix : {64, 128}) {
        SCOPED_TRACE("ipv6-ban-prefix " + std::to_string(prefix));
        ServerConfig config = Config("");
        config.serverPassword = "sesame";
        config.maxConnectionsPerAddress = 3;
        config.passwordLockout = 3;
        config.ipv6BanPrefix = prefix;
        StartServer(config);
        const bool apart = prefix == 128;  // HOST_A1 and HOST_A2 count apart

        // The fourth connection of the network is closed before its welcome.
        TestUser a1(Ipv6Network::HOST_A1), a2(Ipv6Network::HOST_A2), a3(Ipv6Network::HOST_A2);
        TestUser fourth(Ipv6Network::HOST_A1), b(Ipv6Network::HOST_B), admin;
        for (TestUser* user : {&a1, &a2, &a3}) ASSERT_GT(Connect(*user), 0);
        EXPECT_TRUE(fourth.tcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, fourth.source));
        std::string line;
        EXPECT_EQ(fourth.tcp.ReadLine(line, DEFAULT_TIMEOUT_MS), apart) << line;
        ASSERT_GT(Connect(b), 0);

        // The ban of A1 holds A2 out with it; it lists A1 and is lifted by any address of its
        // network, or by the network.
        ASSERT_TRUE(ConnectAdmin(admin, "root", "pw"));
        ASSERT_EQ(Ask(admin, "ban userid=" + std::to_string(a1.id), "ok").back(), "ok");
        EXPECT_EQ(AddressIn(Ask(admin, "listbans"), "userbanned"), Ipv6Network::HOST_A1);
        SayHello(a2);
        EXPECT_EQ(SendLogin(a2, "a2", "sesame").compare(0, 16, "error number=202") == 0, !apart);
        if (!apart) {
            EXPECT_EQ(Ask(admin, "unban address=\"fd00:1:2:4::b\"", "error").back().compare(0, 16, "error number=313"),
                      0);
            EXPECT_EQ(Ask(admin, "unban address=\"FD00:1:2:3:0::a2\"", "ok").back(), "ok");
            EXPECT_EQ(Ask(admin, "listbans"), std::vector<std::string>{"done"});
            ASSERT_EQ(Ask(admin, "ban userid=" + std::to_string(a1.id), "ok").back(), "ok");
            EXPECT_EQ(Ask(admin, "unban address=\"fd00:1:2:3::/64\"", "ok").back(), "ok");
            EXPECT_EQ(Ask(admin, "listbans"), std::vector<std::string>{"done"});
        }

        // Three wrong passwords from A1 lock its network out: A2's right one is refused too.
        SayHello(a1);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(CommandWord(SendLogin(a1, "guess", "wrong")), "error");
        SayHello(a3);
        EXPECT_EQ(CommandWord(SendLogin(a3, "a3", "sesame")), apart ? "accepted" : "error");
        SayHello(b);
        EXPECT_EQ(CommandWord(SendLogin(b, "b", "sesame")), "accepted");
        for (TestUser* user : {&a1, &a2, &a3, &fourth, &b, &admin}) user->tcp.Close();
        EXPECT_EQ(StopServer(), EXIT_CLEAN_STOP);
    }
}

// Written by hand or by an older version: IPv4 and IPv6 bans load, IPv6 in its compressed
// form, hold after a restart and are written back.
TEST_F(Ipv6Test, BanListWithIpv6AddressesLoadsAndHoldsAfterARestart) {
    const std::string entry = "<bantime>2026/12/07 11:25</bantime><nickname>x</nickname><channel-path>/</channel-path>";
    WriteFile("BanList.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?><banlist version=\"1.0\"><serverbans>"
              "<serverban address=\"192.0.2.7\">" +
                  entry +
                  "</serverban>"
                  "<serverban address=\"2001:DB8:0:0::5\">" +
                  entry +
                  "</serverban>"
                  "<serverban address=\"::1\">" +
                  entry + "</serverban></serverbans></banlist>");
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "as written" : "after a restart");
        StartServer(Config("::1"));
        TestUser admin("::1"), user("::1");
        ASSERT_TRUE(ConnectAdmin(admin, "root", "pw"));
        std::vector<std::string> addresses;
        for (const std::string& line : Ask(admin, "listbans"))
            if (CommandWord(line) == "userbanned") addresses.push_back(Param(line, "address"));
        EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.7", "2001:db8::5", "::1"}));
        ASSERT_GT(Connect(user), 0);
        SayHello(user);
        EXPECT_EQ(SendLogin(user, "u").compare(0, 16, "error number=202"), 0);
        admin.tcp.Close();
        user.tcp.Close();
        EXPECT_EQ(StopServer(), EXIT_CLEAN_STOP);
    }
    const std::string saved = ReadFile("BanList.xml");
    EXPECT_NE(saved.find("address=\"2001:db8::5\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("address=\"192.0.2.7\""), std::string::npos) << saved;
}

// bind-ip takes one IPv6 address: IPv6 clients only, voice included.
TEST_F(Ipv6Test, BindIpTakesAnIpv6Address) {
    StartServer(Config("::1"));
    EXPECT_TRUE(WaitFor([&] { return ServerErrors().find(" on ::1,") != std::string::npos; })) << ServerErrors();
    TestUser six("::1");
    ASSERT_TRUE(ConnectAndLogin(six, "six"));
    EXPECT_EQ(Param(Ask(six, "whoami", "youare").back(), "address"), "::1");
    LineClient four;
    EXPECT_FALSE(four.Connect(tcpPort_, 200));
}

TEST_F(Ipv6Test, ClientConnectsOverIpv6ItsVoiceAndTransfersFollowing) {
    ServerConfig config = Config("");
    config.filesRoot = "files";
    config.channelDiskQuota = 1000000;
    StartServer(config);
    WriteFile("notes.txt", "minutes");
    TestUser watcher("::1");
    ASSERT_TRUE(ConnectAndLogin(watcher, "watcher"));
    Ask(watcher, "join channel=\"/Lobby/\"");
    for (const char* host : {"::1", "[::1]", "localhost"}) {
        SCOPED_TRACE(host);
        const std::string name = "n" + std::to_string(std::strlen(host)) + ".txt";
        const RunResult run =
            RunProgram(QUORVANE_CLI_BINARY,
                       {"--host", host, "--port", std::to_string(tcpPort_), "--udp-port", std::to_string(udpPort_),
                        "--user", "cli", "-c", "join Lobby", "-c", "upload " + PathOf("notes.txt") + " " + name, "-c",
                        "download " + name + " " + PathOf("back.txt")},
                       {"QUORVANE_PASSWORD="});
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(ReadFile("back.txt"), "minutes");
        // A name goes to whichever of its addresses answers first.
        const std::vector<std::string> expected = host[0] == 'l' ? AddressesOf(host) : std::vector<std::string>{"::1"};
        const std::string seen = AddressIn({SkipUntil(watcher.tcp, "adduser")}, "adduser");
        EXPECT_NE(std::find(expected.begin(), expected.end(), seen), expected.end()) << seen;
        std::remove(PathOf("back.txt").c_str());
    }
}

// A name serves on each of its addresses (localhost: those this machine gives it).
TEST_F(Ipv6Test, MetricsListenOnAnIpv6AddressAndOnEveryAddressOfAName) {
    const int port = FreePort(SOCK_STREAM);
    const struct {
        std::string address;
        std::vector<std::string> serving;
    } cases[] = {
        {"[::1]:" + std::to_string(port), {"::1"}},
        {"localhost:" + std::to_string(port), AddressesOf("localhost")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        ServerConfig config = Config("127.0.0.1");
        config.metricsAddress = c.address;
        StartServer(config);
        for (const char* from : {"::1", "127.0.0.1"}) {
            const bool serving = std::find(c.serving.begin(), c.serving.end(), from) != c.serving.end();
            LineClient http;
            EXPECT_EQ(http.Connect(port, serving ? DEFAULT_TIMEOUT_MS : 200, from), serving) << from;
            if (!serving) continue;
            http.Send("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            EXPECT_EQ(NextLine(http).compare(0, 12, "HTTP/1.1 200"), 0) << from;
        }
        EXPECT_EQ(StopServer(), EXIT_CLEAN_STOP);
    }
}

}  // namespace
}  // namespace test
}  // namespace quorvane
