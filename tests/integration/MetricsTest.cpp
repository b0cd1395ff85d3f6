// The metrics an operator scrapes: the text format checked by promtool, figures that
// follow what clients do, and bad requests answered briefly without holding the server.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ServerFixture.h"
#include "network/MetricsServer.h"

namespace quorvane {
namespace test {
namespace {

using testing_support::FreePort;
using testing_support::LineClient;

class MetricsTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        metricsPort_ = FreePort(SOCK_STREAM);
        ServerConfig config;
        config.metricsAddress = "127.0.0.1:" + std::to_string(metricsPort_);
        StartServer(config);
    }

    // The whole answer to a raw request (the server closes after it).
    std::string Request(const std::string& request) {
        LineClient http;
        if (!http.Connect(metricsPort_, DEFAULT_TIMEOUT_MS)) return "";
        http.Send(request);
        std::string answer, chunk;
        while (http.ReadSome(65536, chunk, DEFAULT_TIMEOUT_MS)) answer += chunk;
        return answer;
    }

    std::string Scrape() {
        const std::string answer = Request("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        const size_t body = answer.find("\r\n\r\n");
        EXPECT_EQ(answer.compare(0, 12, "HTTP/1.1 200"), 0) << answer.substr(0, 200);
        return body == std::string::npos ? "" : answer.substr(body + 4);
    }

    // The program's path in a directory of PATH; empty when none has it.
    static std::string FindOnPath(const std::string& program) {
        const char* path = std::getenv("PATH");
        std::stringstream directories(path ? path : "");
        for (std::string directory; std::getline(directories, directory, ':');) {
            const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        return "";
    }

    // The value of the sample line that starts with the name and labels.
    static std::string Value(const std::string& metrics, const std::string& sample) {
        const size_t at = metrics.find("\n" + sample + " ");
        if (at == std::string::npos) return "<missing>";
        const size_t start = at + sample.size() + 2;
        return metrics.substr(start, metrics.find('\n', start) - start);
    }

    int metricsPort_ = 0;
};

TEST_F(MetricsTest, FiguresFollowTheClientsInAFormatPromtoolAccepts) {
    TestUser ann, bob;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    bob.tcp.Send("join channel=\"/a/\"\r\n");
    ASSERT_FALSE(bob.tcp.Expect("done").empty());
    ann.tcp.Send("join channel=\"/a/\"\r\nping\r\nnonsense\r\n");
    ASSERT_FALSE(ann.tcp.Expect("pong").empty());
    ASSERT_FALSE(ann.tcp.Expect("error").empty());
    // One voice datagram relayed to bob, one of no known type dropped.
    ASSERT_TRUE(ann.udp.SendTo(udpPort_, testing_support::AudioPacketBytes(5, ann.id, 0, 40)));
    std::string relayed;
    ASSERT_TRUE(bob.udp.Receive(relayed, DEFAULT_TIMEOUT_MS));
    ASSERT_TRUE(ann.udp.SendTo(udpPort_, std::string(10, '\x7f')));
    // The relay counts a datagram once it has gone out, which may be after bob has it.
    std::string metrics;
    EXPECT_TRUE(testing_support::WaitFor(
        [&] {
            metrics = Scrape();
            return Value(metrics, "quorvane_voice_datagrams_relayed_total") == "1" &&
                   Value(metrics, "quorvane_voice_relay_latency_seconds_count") == "1";
        },
        DEFAULT_TIMEOUT_MS))
        << metrics;
    const struct {
        const char* sample;
        const char* value;
    } expected[] = {
        {"quorvane_up", "1"},
        {"quorvane_users_online", "2"},
        {"quorvane_users_served_total", "2"},
        {"quorvane_channels", "1"},
        {"quorvane_connections{state=\"user\"}", "2"},
        {"quorvane_commands_total{command=\"login\"}", "2"},
        {"quorvane_commands_total{command=\"join\"}", "2"},
        {"quorvane_commands_total{command=\"unknown\"}", "1"},
        {"quorvane_voice_relay_latency_seconds_count", "1"},
        {"quorvane_voice_datagrams_relayed_total", "1"},
    };
    for (const auto& e : expected) EXPECT_EQ(Value(metrics, e.sample), e.value) << e.sample;
    EXPECT_NE(Value(metrics, "quorvane_process_resident_memory_bytes"), "-1");
    // Figures as people read them: the uptime in milliseconds at most, no binary noise.
    EXPECT_TRUE(std::regex_match(Value(metrics, "quorvane_uptime_seconds"), std::regex("[0-9]+(\\.[0-9]{1,3})?")))
        << Value(metrics, "quorvane_uptime_seconds");
    // The junk datagram may still be on its way: it is counted once it arrives.
    EXPECT_TRUE(testing_support::WaitFor(
        [&] { return Value(Scrape(), "quorvane_voice_datagrams_dropped_total{reason=\"malformed\"}") == "1"; },
        DEFAULT_TIMEOUT_MS));

    const std::string promtool = FindOnPath("promtool");
    if (promtool.empty()) GTEST_SKIP() << "promtool is not on PATH: the text format was not checked";
    const RunResult check = RunProgram(promtool, {"check", "metrics"}, {}, metrics);
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
}

TEST_F(MetricsTest, BadRequestsGetShortErrorsAndHoldNothing) {
    LineClient slow;  // opened and left silent: the others are served meanwhile
    ASSERT_TRUE(slow.Connect(metricsPort_, DEFAULT_TIMEOUT_MS));
    const struct {
        std::string request;
        const char* status;
    } cases[] = {
        {"GET /other HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 404"},
        {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc", "HTTP/1.1 405"},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nX: " + std::string(40000, 'a') + "\r\n\r\n", "HTTP/1.1 4"},
    };
    for (const auto& c : cases) {
        const std::string answer = Request(c.request);
        EXPECT_EQ(answer.compare(0, std::string(c.status).size(), c.status), 0) << answer.substr(0, 100);
        EXPECT_LT(answer.size(), 1000u);
    }
    EXPECT_FALSE(Scrape().empty());
    EXPECT_TRUE(slow.WaitClosed(3 * DEFAULT_TIMEOUT_MS)) << "an idle request is closed";
}

// A second server on the same metrics address does not start (so scrapes never
// alternate between two servers, and "down" can be seen).
TEST_F(MetricsTest, ASecondServerCannotShareTheAddress) {
    ServerConfig second;
    second.metricsAddress = "127.0.0.1:" + std::to_string(metricsPort_);
    WriteFile("QuorvaneService.xml",
              SettingsDocument(second, testing_support::FreePort(SOCK_STREAM), testing_support::FreePort(SOCK_DGRAM)));
    const RunResult run = RunBinary({"-d"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("Quorvane service cannot serve its metrics: cannot listen on " + second.metricsAddress +
                           ": Address already in use."),
              std::string::npos)
        << run.err;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Value(Scrape(), "quorvane_users_online"), "0");
}

// Four hosts holding four idle connections each fill the cap: a scrape still gets in, and
// the connection idle longest makes room for it at once, long before idle ones time out.
TEST_F(MetricsTest, IdleConnectionsMakeRoomForScrapes) {
    std::vector<std::unique_ptr<LineClient>> idle;
    for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        for (int i = 0; i < MetricsServer::MAX_CONNECTIONS_PER_ADDRESS; ++i) {
            idle.emplace_back(new LineClient);
            ASSERT_TRUE(idle.back()->Connect(metricsPort_, DEFAULT_TIMEOUT_MS, host));
        }
    }
    ASSERT_EQ(idle.size(), static_cast<size_t>(MetricsServer::MAX_CONNECTIONS));
    for (int i = 0; i < 11; ++i) EXPECT_FALSE(Scrape().empty()) << i;
    EXPECT_TRUE(idle.front()->WaitClosed(DEFAULT_TIMEOUT_MS));
    EXPECT_FALSE(idle.back()->WaitClosed(0)) << "the newest idle connection stays";
}

}  // namespace
}  // namespace test
}  // namespace quorvane
