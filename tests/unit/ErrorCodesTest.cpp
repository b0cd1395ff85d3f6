#include "protocol/ErrorCodes.h"

#include <gtest/gtest.h>

#include <climits>

using namespace quorvane;

TEST(ErrorCodes, FixedMessages) {
    const std::pair<int, const char*> table[] = {{100, "Syntax error in command"},
                                                 {101, "Command not recognized"},
                                                 {102, "Incompatible protocols"},
                                                 {200, "Incorrect password"},
                                                 {201, "Incorrect channel password"},
                                                 {202, "Banned from server"},
                                                 {203, "Command requires operator rights"},
                                                 {204, "Channel creation not allowed"},
                                                 {205, "Command requires administrator rights"},
                                                 {206, "Command requires user logon"},
                                                 {207, "Banned from channel"},
                                                 {208, "Maximum number of users exceeded"},
                                                 {209, "Maximum disk usage exceeded"},
                                                 {210, "Failed to open file"},
                                                 {300, "Already logged in"},
                                                 {301, "Not logged in"},
                                                 {302, "Connect on UDP has not yet occurred"},
                                                 {310, "Channel already exists"},
                                                 {311, "No such user"},
                                                 {312, "Incorrect channel path"},
                                                 {313, "No such ban exists"},
                                                 {314, "Unknown file transfer"},
                                                 {315, "File not found"},
                                                 {316, "File already exists"},
                                                 {317, "File sharing is disabled"},
                                                 {318, "File path not found"},
                                                 {400, "File transfer failed"}};
    for (const auto& entry : table) EXPECT_EQ(entry.second, GetErrorMessage(entry.first)) << entry.first;
    for (int code : {0, -1, 99, 103, 211, 309, 401, 1999, 3000, INT_MIN, INT_MAX}) {
        EXPECT_EQ("Unknown error", GetErrorMessage(code)) << code;
    }
}

TEST(ErrorCodes, MissingParameterMessages) {
    const char* suffixes[] = {"userid",     "nickname",      "serverpassword", "bandmode", "version",    "channel",
                              "statusmode", "statusmessage", "content",        "from",     "to",         "fpp",
                              "type",       "username",      "topic",          "static",   "srcchannel", "destchannel"};
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(std::string("Missing ") + suffixes[i] + " parameter", GetErrorMessage(2000 + i));
    }
    const char* later[] = {"password",         "motd",       "address",   "framesize",
                           "encodedframesize", "transferid", "diskquota", "filesroot"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(std::string("Missing ") + later[i] + " parameter", GetErrorMessage(2027 + i));
    }
    for (int code : {2018, 2022, 2026, 2035, 2500, 2999}) {
        EXPECT_EQ("Missing  a parameter", GetErrorMessage(code)) << code;
    }
}
