// The command line: defaults, repeated commands, and what ends the program early.
#include <gtest/gtest.h>

#include "CliOptions.h"

namespace quorvane {
namespace cli {
namespace {

TEST(CliOptionsTest, ParsesTheUsualForms) {
    const struct {
        std::vector<std::string> args;
        int code;  // -1: go on
        const char* summary;
    } cases[] = {
        {{}, -1, "127.0.0.1:10300/10301 user= admin= 0 commands json=0 timeout=10"},
        {{"--host", "h", "--port", "2000", "--user", "ann", "-c", "bans", "-c", "kick 5", "--json"},
         -1,
         "h:2000/2001 user=ann admin= 2 commands json=1 timeout=10"},
        {{"--admin", "root", "--udp-port", "9", "--timeout", "3"},
         -1,
         "127.0.0.1:10300/9 user= admin=root 0 commands json=0 timeout=3"},
        {{"--help"}, 0, ""},
        {{"--version"}, 0, ""},
        {{"--user", "a", "--admin", "b"}, 2, ""},
        {{"--port", "70000"}, 2, ""},
        {{"--password", "x"}, 2, ""},  // passwords never come from the command line
    };
    for (const auto& c : cases) {
        std::vector<std::string> storage = c.args;
        storage.insert(storage.begin(), "quorvane-cli");
        std::vector<char*> argv;
        for (std::string& arg : storage) argv.push_back(&arg[0]);
        CliOptions options;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int code = ParseCliOptions(static_cast<int>(argv.size()), argv.data(), options);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, c.code) << storage.size();
        if (code != -1) continue;
        const std::string summary =
            options.host + ":" + std::to_string(options.port) + "/" + std::to_string(options.VoicePort()) +
            " user=" + options.user + " admin=" + options.admin + " " + std::to_string(options.commands.size()) +
            " commands json=" + std::to_string(options.json) + " timeout=" + std::to_string(options.timeoutSeconds);
        EXPECT_EQ(summary, c.summary);
    }
}

}  // namespace
}  // namespace cli
}  // namespace quorvane
