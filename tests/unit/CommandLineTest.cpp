#include "protocol/CommandLine.h"
#include "protocol/PasswordCompare.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <vector>

using namespace quorvane;

namespace {

ParameterSet Parsed(const std::string& line) {
    ParameterSet params;
    EXPECT_TRUE(ParseParameters(line, params)) << line;
    return params;
}

// The escaping as three literal passes, to hold the one-pass escaper to.
std::string EscapeByPasses(std::string text) {
    ReplaceAll(text, "\\", "\\\\");
    ReplaceAll(text, "\"", "\\\"");
    ReplaceAll(text, "\r\n", "\\r\\n");
    return text;
}

}  // namespace

TEST(CommandLineFraming, SplitFirstLineAtEveryOffset) {
    const std::string stream = "login nickname=\"a\\\"b\"\r\nping\n\njoin channel=\"/\"\r\n";
    const std::vector<std::string> expected = {"login nickname=\"a\\\"b\"\r\n", "ping\n", "\n",
                                               "join channel=\"/\"\r\n"};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string buffer, line;
        std::vector<std::string> lines;
        for (const std::string& chunk : {stream.substr(0, cut), stream.substr(cut)}) {
            buffer += chunk;
            while (SplitFirstLine(buffer, line, buffer)) lines.push_back(line);
        }
        EXPECT_EQ(expected, lines) << "cut at " << cut;
        EXPECT_TRUE(buffer.empty());
    }
    std::string line = "old", rest = "old";
    EXPECT_FALSE(SplitFirstLine("no end", line, rest));
    EXPECT_EQ("old", line);
    EXPECT_EQ("old", rest);
}

TEST(CommandLineFraming, StripLineEndingAndExtractCommand) {
    EXPECT_EQ("x", StripLineEnding("x\r\n"));
    EXPECT_EQ("x", StripLineEnding("x\n"));
    EXPECT_EQ("x\r", StripLineEnding("x\r"));
    EXPECT_EQ("\n", StripLineEnding("\n"));
    EXPECT_EQ("", StripLineEnding("\r\n"));
    std::string word = "old";
    EXPECT_FALSE(ExtractCommand(" login", word));
    EXPECT_FALSE(ExtractCommand("\r\n", word));
    EXPECT_EQ("old", word);
    EXPECT_TRUE(ExtractCommand("ping\r\n", word));
    EXPECT_EQ("ping", word);
    EXPECT_TRUE(ExtractCommand("login nickname=x", word));
    EXPECT_EQ("login", word);
}

TEST(CommandLineParse, ValueForms) {
    EXPECT_EQ("Unknown error", Parsed("error number=1 message=\"Unknown error\"")["message"]);
    EXPECT_EQ("say \"hi\"", Parsed("m c=\"say \\\"hi\\\"\" x=1")["c"]);
    EXPECT_EQ("dir\\", Parsed("m p=\"dir\\\\\"")["p"]);
    EXPECT_EQ("1,2,3", Parsed("updateserver operators=[1,2,3] x=1")["operators"]);
    EXPECT_EQ("a\"b", Parsed("m x=a\\\"b y=[c\\\\]")["x"]);  // bare values are unescaped too
    EXPECT_EQ("c\\", Parsed("m x=a y=[c\\\\]")["y"]);
    EXPECT_EQ((ParameterSet{{"a", "1"}, {"b", "2"}}), Parsed("cmd   a = 1   b= 2  "));
    EXPECT_EQ((ParameterSet{{"a", "2"}}), Parsed("cmd a=1 a=2"));
    // The byte after a closing quote or bracket is skipped unexamined.
    EXPECT_EQ((ParameterSet{{"a", "1"}, {"", "2"}}), Parsed("cmd a=\"1\"b=2"));
    EXPECT_EQ((ParameterSet{{"a", "1"}, {"", "2"}}), Parsed("cmd a=[1]b=2"));
    EXPECT_TRUE(Parsed("cmd ").empty());
    ParameterSet previous{{"old", "x"}};
    EXPECT_TRUE(ParseParameters("cmd a=1", previous));
    EXPECT_EQ((ParameterSet{{"a", "1"}}), previous);  // the line's set, not a merge
    std::string value;
    EXPECT_TRUE(GetStringParam("cmd a=1 b=0 a=\"2 3\"", "a", value));
    EXPECT_EQ("2 3", value);
}

TEST(CommandLineParse, MalformedLinesFailWhole) {
    const char* bad[] = {"",
                         "ping",
                         "cmd a",
                         "cmd a=",
                         "cmd a=1 b",
                         "cmd a =  ",
                         "cmd a=\"open",
                         "cmd a=\"x\\\"",
                         "cmd a=[1,2",
                         "cmd a b=1",
                         "error number=1 message=Unknown error"};
    for (const char* line : bad) {
        ParameterSet params{{"keep", "me"}};
        EXPECT_FALSE(ParseParameters(line, params)) << line;
        EXPECT_EQ((ParameterSet{{"keep", "me"}}), params);
        std::string out = "old";
        EXPECT_FALSE(GetStringParam(line, "a", out));
        EXPECT_EQ("old", out);
    }
    EXPECT_TRUE(HasSyntaxError("error number=1 message=Unknown error"));
    EXPECT_TRUE(HasSyntaxError("cmd a="));
    EXPECT_FALSE(HasSyntaxError("ping"));  // no parameters is well formed
    EXPECT_FALSE(HasSyntaxError("ping   "));
    EXPECT_FALSE(HasSyntaxError(""));
    EXPECT_FALSE(HasSyntaxError("cmd a=1"));
}

TEST(CommandLineAccessors, IntAndBool) {
    int value = 42;
    EXPECT_TRUE(GetIntParam("c v=-", "v", value));
    EXPECT_EQ(0, value);
    EXPECT_TRUE(GetIntParam("c v=2147483647", "v", value));
    EXPECT_EQ(INT_MAX, value);
    EXPECT_TRUE(GetIntParam("c v=\"-2147483648\"", "v", value));
    EXPECT_EQ(INT_MIN, value);
    EXPECT_TRUE(GetIntParam("c v=-007", "v", value));
    EXPECT_EQ(-7, value);
    for (const char* line : {"c v=+5", "c v=5x", "c v=\"\"", "c v=\" 5\"", "c v=2147483648", "c v=-2147483649",
                             "c v=99999999999999999999999", "c w=5", "c v=--1"}) {
        value = 42;
        EXPECT_FALSE(GetIntParam(line, "v", value)) << line;
        EXPECT_EQ(42, value);
    }
    bool flag = false;
    EXPECT_TRUE(GetBoolParam("c b=7", "b", flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(GetBoolParam("c b=0", "b", flag));
    EXPECT_FALSE(flag);
    flag = true;
    EXPECT_FALSE(GetBoolParam("c b=yes", "b", flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(IsNumber("-"));
    EXPECT_FALSE(IsNumber(""));
    EXPECT_FALSE(IsNumber("1-"));
}

TEST(CommandLineAccessors, Int64ReadsLikeStreamExtraction) {
    const char* texts[] = {"5x",
                           "abc",
                           "\" 12\"",
                           "+5",
                           "-",
                           "\"\\r\\n-3\"",
                           "9223372036854775807",
                           "-9223372036854775808",
                           "9223372036854775808",
                           "-9223372036854775809",
                           "0x10",
                           "[ 8]",
                           "\"\v\t7\"",
                           "\"- 5\"",
                           "00012"};
    for (const char* text : texts) {
        const std::string line = std::string("c v=") + text;
        std::string value;
        ASSERT_TRUE(GetStringParam(line, "v", value));
        int64_t expected = -77, got = -77, fromStream = 0;
        std::istringstream stream(value);
        if (stream >> fromStream) expected = fromStream;
        EXPECT_TRUE(GetInt64Param(line, "v", got)) << text;  // present is enough
        EXPECT_EQ(expected, got) << text;
    }
    int64_t out = 3;
    EXPECT_FALSE(GetInt64Param("c w=1", "v", out));
    EXPECT_EQ(3, out);
}

TEST(CommandLineEscaping, EscapeAndUnescape) {
    EXPECT_EQ("\\\\\\r\\n", EscapeString("\\\r\n"));
    EXPECT_EQ("\\\r\n", UnescapeString("\\\\\\r\\n"));
    EXPECT_EQ("a\nb\r", EscapeString("a\nb\r"));
    EXPECT_EQ("\\\r\n", UnescapeString("\\\\r\\n"));  // the CR LF pass runs first
    // Every string over the special bytes escapes as the three passes do and comes back.
    const char alphabet[] = {'\\', '"', '\r', '\n', 'r', 'n'};
    std::vector<std::string> texts = {""};
    for (size_t i = 0; i < texts.size() && texts[i].size() < 5; ++i) {
        for (char c : alphabet) texts.push_back(texts[i] + c);
    }
    for (const std::string& text : texts) {
        ASSERT_EQ(EscapeByPasses(text), EscapeString(text)) << text;
        ASSERT_EQ(text, UnescapeString(EscapeString(text))) << text;
        std::string line = "m";
        AppendStringParam(line, "s", text);
        std::string back;
        ASSERT_TRUE(GetStringParam(line, "s", back)) << line;
        ASSERT_EQ(text, back);
    }
    std::string text = "aaa";
    ReplaceAll(text, "a", "aa");
    EXPECT_EQ("aaaaaa", text);
    ReplaceAll(text, "", "x");
    EXPECT_EQ("aaaaaa", text);
}

TEST(CommandLineBuild, AppendFamily) {
    std::string line = "error";
    AppendIntParam(line, "number", 101);
    AppendStringParam(line, "message", "Command not recognized");
    EXPECT_EQ("error number=101 message=\"Command not recognized\"", line);
    line = "x";
    AppendIntParam(line, "i", INT_MIN);
    AppendBoolParam(line, "t", true);
    AppendBoolParam(line, "f", false);
    AppendInt64Param(line, "q", -9223372036854775807LL - 1);
    AppendInt64Param(line, "d", 10737418240LL);
    AppendListParam(line, "ops", {9, -1, 4});
    AppendListParam(line, "none", {});
    EXPECT_EQ("x i=-2147483648 t=1 f=0 q=-9223372036854775808 d=10737418240 ops=[-1,4,9] none=[]", line);
}

TEST(CommandLineCompare, AsciiCaseOnly) {
    EXPECT_EQ("login \xC4\xD6", ToLower("LoGiN \xC4\xD6"));
    EXPECT_TRUE(EqualsNoCase("JOIN", "join"));
    EXPECT_FALSE(EqualsNoCase("join", "joins"));
    EXPECT_FALSE(EqualsNoCase("\xC4", "\xE4"));
    EXPECT_FALSE(EqualsNoCase("[", "{"));
}

TEST(PasswordCompare, ExactBytesOnly) {
    const struct {
        std::string given, stored;
        bool equal;
    } cases[] = {{"", "", true},
                 {"secret", "secret", true},
                 {"Secret", "secret", false},
                 {"secre", "secret", false},
                 {"secrets", "secret", false},
                 {"", "x", false},
                 {std::string("a\0b", 3), std::string("a\0c", 3), false},
                 {std::string("a\0", 2), "a", false}};
    for (const auto& c : cases) EXPECT_EQ(c.equal, PasswordsEqual(c.given, c.stored)) << c.given << "/" << c.stored;
}
