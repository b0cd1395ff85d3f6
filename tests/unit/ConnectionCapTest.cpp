// Who makes room when the metrics server's connections reach their cap.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/ConnectionCap.h"

namespace {

TEST(ConnectionCapTest, TheConnectionIdleLongestMakesRoom) {
    // Steps on connections named by a letter: "+a" accepted, "*a" being answered, "-a"
    // answered, "xa" closed. closed: the connections the cap chose, in order.
    const struct {
        const char* name;
        std::vector<std::string> steps;
        std::string closed;
    } cases[] = {
        {"under the cap", {"+a", "+b"}, ""},
        {"the oldest idle goes", {"+a", "+b", "+c"}, "a"},
        {"an answer makes it young", {"+a", "+b", "*a", "-a", "+c"}, "b"},
        {"one being answered stays", {"+a", "+b", "*a", "+c"}, "b"},
        {"all others answered: the newcomer goes", {"+a", "+b", "*a", "*b", "+c"}, "c"},
        {"one chosen is not chosen again", {"+a", "+b", "+c", "+d"}, "ab"},
        {"a close makes room", {"+a", "+b", "xa", "+c"}, ""},
    };
    static const char NAMES[] = "abcd";
    for (const auto& c : cases) {
        ConnectionCap cap(2);
        std::string closed;
        for (const std::string& step : c.steps) {
            const void* connection = &NAMES[step[1] - 'a'];
            if (step[0] == '+') {
                if (const void* gone = cap.Opened(connection)) closed += *static_cast<const char*>(gone);
            } else if (step[0] == '*') {
                cap.Busy(connection);
            } else if (step[0] == '-') {
                cap.Idle(connection);
            } else {
                cap.Closed(connection);
            }
        }
        EXPECT_EQ(closed, c.closed) << c.name;
        EXPECT_LE(cap.Count(), 2u) << c.name;
    }
}

}  // namespace
