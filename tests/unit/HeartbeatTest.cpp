// GET /health from a loop's heartbeat: 503 before the loop stamps and while it is held up,
// 200 while it runs; without a health function the path is not served.
#include <sys/socket.h>

#include <future>
#include <string>

#include "ReactorLoop.h"
#include "network/Heartbeat.h"
#include "network/MetricsServer.h"

namespace networktest {
namespace {

// Holds the loop's thread until released: a main loop stuck in a long call.
struct Stall : ACE_Event_Handler {
    explicit Stall(std::shared_future<void> until) : release(until) {}
    int handle_exception(ACE_HANDLE) override {
        release.wait();
        return 0;
    }
    std::shared_future<void> release;
};

std::string HealthStatus(int port) {
    testing_support::LineClient http;
    if (!http.Connect(port, 10000)) return "no connection";
    http.Send("GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string answer, chunk;
    while (http.ReadSome(4096, chunk, 10000)) answer += chunk;
    return answer.size() > 12 ? answer.substr(9, 3) + answer.substr(answer.find("\r\n\r\n") + 4) : answer;
}

TEST(HeartbeatTest, HealthFollowsTheLoopsHeartbeat) {
    ReactorLoop loop(EPOLL_REACTOR);
    loop.Start();
    Heartbeat heartbeat(loop.reactor());
    MetricsServer metrics([] { return std::string(); },
                          [&heartbeat](std::string& line) {
                              const int64_t silence = heartbeat.SilenceMs();
                              line = silence < 0 ? "not started" : silence < 1000 ? "ok" : "silent";
                              return line == "ok";
                          });
    const int port = testing_support::FreePort(SOCK_STREAM);
    std::string error;
    ASSERT_TRUE(metrics.Start("127.0.0.1:" + std::to_string(port), error)) << error;
    EXPECT_EQ(HealthStatus(port), "503not started\n");
    ASSERT_TRUE(heartbeat.Start());
    EXPECT_EQ(HealthStatus(port), "200ok\n");

    std::promise<void> release;
    Stall stall(release.get_future().share());
    ASSERT_EQ(loop.reactor()->notify(&stall, ACE_Event_Handler::EXCEPT_MASK), 0);
    EXPECT_TRUE(WaitFor([&] { return HealthStatus(port) == "503silent\n"; }, 10000));
    release.set_value();
    EXPECT_TRUE(WaitFor([&] { return HealthStatus(port) == "200ok\n"; }, 10000));
    loop.Stop();

    std::string body;
    EXPECT_EQ(MetricsServer::Answer(
                  "GET", "/health", [] { return std::string(); }, MetricsServer::Health(), body),
              404);
}

}  // namespace
}  // namespace networktest
