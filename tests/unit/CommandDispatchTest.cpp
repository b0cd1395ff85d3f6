// Reading command lines: framing across reads, syntax checks, command words, state tests
// and parameter errors, driven without sockets.
#include <algorithm>

#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <gtest/gtest.h>

#include "RecordingUser.h"
#include "server/ServerNode.h"

using quorvane::server::CommandReader;
using quorvane::server::ServerNode;
using quorvane::server::ServerUser;

namespace {

class CommandDispatchTest : public ::testing::Test {
protected:
    // The clock stands still: turns end by their count, not by a loaded machine's time.
    CommandDispatchTest()
        : reactor_(new ACE_Select_Reactor, true),
          node_(&reactor_, &reactor_, 0, false),
          user_(std::make_shared<RecordingUser>(1, node_.Links())) {
        CommandReader::SetClock([]() -> int64_t { return 1000000; });
    }
    ~CommandDispatchTest() override { CommandReader::SetClock(nullptr); }

    // Feeds bytes as one read and gives the user the turns the loop would give it;
    // answers whether the connection stays open.
    bool Feed(const std::string& bytes) {
        bool keepOpen = Read(bytes);
        while (keepOpen && user_->Connection().HasPendingInput()) user_->Connection().OnStreamResume(keepOpen);
        return keepOpen;
    }

    // Only the read: what is handled before the loop's next turn.
    bool Read(const std::string& bytes) {
        bool keepOpen = true;
        user_->Connection().OnStreamData(bytes.data(), static_cast<ssize_t>(bytes.size()), keepOpen);
        return keepOpen;
    }

    std::string Error(int code, const std::string& text) {
        return "error number=" + std::to_string(code) + " message=\"" + text + "\"\r\n";
    }

    ACE_Reactor reactor_;
    ServerNode node_;
    std::shared_ptr<RecordingUser> user_;
};

TEST_F(CommandDispatchTest, LinesAreFramedAcrossAndWithinReads) {
    EXPECT_TRUE(Feed("pi"));
    EXPECT_TRUE(user_->lines.empty());
    EXPECT_TRUE(Feed("ng\r\nPING\nPing   \r\n"));
    EXPECT_EQ((std::vector<std::string>{"pong", "pong", "pong"}), user_->Words());

    // Quit ends the connection and nothing behind it in the same read is handled.
    user_->lines.clear();
    EXPECT_FALSE(Feed("quit\r\nping\r\n"));
    EXPECT_TRUE(user_->lines.empty());
}

TEST_F(CommandDispatchTest, SyntaxAndUnknownCommands) {
    Feed("ping x\r\n");
    Feed("\r\n");
    Feed("\n");
    Feed("dance\r\n");
    Feed(" ping\r\n");
    // A lone LF is ignored; a line that starts with a space has a nameless parameter.
    ASSERT_EQ(4u, user_->lines.size());
    EXPECT_EQ(Error(100, "Syntax error in command"), user_->lines[0]);
    EXPECT_EQ(Error(101, "Command not recognized"), user_->lines[1]);
    EXPECT_EQ(Error(101, "Command not recognized"), user_->lines[2]);
    EXPECT_EQ(Error(100, "Syntax error in command"), user_->lines[3]);
}

TEST_F(CommandDispatchTest, AnEndlessLineClosesTheConnection) {
    const std::string chunk(64 * 1024, 'a');
    bool open = true;
    for (int i = 0; i < 20 && open; ++i) open = Feed(chunk);
    EXPECT_FALSE(open);
}

TEST_F(CommandDispatchTest, StateTestsRunInOrderBeforeTheHandler) {
    Feed("join channel=\"/a/\"\r\n");
    Feed("LOGIN nickname=\"x\"\r\n");
    EXPECT_EQ(Error(301, "Not logged in"), user_->lines[0]);
    EXPECT_EQ(Error(302, "Connect on UDP has not yet occurred"), user_->lines[1]);

    user_->lines.clear();
    user_->SetLoggedIn(true);
    Feed("Login\r\n");
    Feed("makechannel channel=\"/a/\"\r\n");
    Feed("sendfile transferid=1\r\n");
    Feed("pwc\r\n");
    ASSERT_EQ(4u, user_->lines.size());
    EXPECT_EQ(Error(300, "Already logged in"), user_->lines[0]);
    EXPECT_EQ(Error(205, "Command requires administrator rights"), user_->lines[1]);
    EXPECT_EQ(Error(300, "Already logged in"), user_->lines[2]);
    EXPECT_EQ("pwc channel=\"\"\r\n", user_->lines[3]);

    user_->lines.clear();
    user_->SetAdmin(true);
    Feed("login\r\n");
    Feed("join channel=\"/a/\"\r\n");
    EXPECT_EQ(Error(206, "Command requires user logon"), user_->lines[0]);
    EXPECT_EQ(Error(206, "Command requires user logon"), user_->lines[1]);
}

TEST_F(CommandDispatchTest, ValuesReadBeforeAMissingParameterStayStored) {
    user_->SetUdpAddress(ACE_INET_Addr(5000, "127.0.0.1"));
    Feed("login nickname=\"first\"\r\n");
    EXPECT_EQ(Error(2026, "Missing  a parameter"), user_->lines.back());
    EXPECT_EQ("", user_->GetNickname());

    Feed("login protocol=\"3.4\" Nickname=\"wrongcase\"\r\n");
    EXPECT_EQ(Error(2001, "Missing nickname parameter"), user_->lines.back());

    Feed("login protocol=\"3.4\" nickname=\"kept\" bandmode=1\r\n");
    EXPECT_EQ(Error(2027, "Missing password parameter"), user_->lines.back());
    EXPECT_EQ("kept", user_->GetNickname());
    EXPECT_EQ("3.4", user_->GetClientProtocol());

    Feed("login protocol=\"3.4\" nickname=\"n\" serverpassword=\"\" bandmode=x\r\n");
    EXPECT_EQ(Error(2003, "Missing bandmode parameter"), user_->lines.back());

    // Everything given: the node does not know this user.
    Feed(
        "login protocol=\"3.4\" nickname=\"n\" serverpassword=\"\" bandmode=1 framesize=2 "
        "encodedframesize=3 fpp=4 version=\"v\"\r\n");
    EXPECT_EQ(Error(311, "No such user"), user_->lines.back());
    EXPECT_EQ(1, user_->GetBandMode());
    EXPECT_EQ(2, user_->GetFrameSize());
    EXPECT_EQ(3, user_->GetEncodedFrameSize());
    EXPECT_EQ(4, user_->GetFramesPerPacket());
    EXPECT_EQ("v", user_->GetVersion());

    user_->SetLoggedIn(true);
    Feed("changestatus statusmode=3\r\n");
    EXPECT_EQ(Error(2025, "Missing  a parameter"), user_->lines.back());
    EXPECT_EQ(3, user_->GetStatusMode());
}

TEST_F(CommandDispatchTest, WhoAmIDescribesTheUser) {
    user_->SetLoggedIn(true);
    user_->SetNickname("me \"quoted\"");
    Feed("whoami\r\n");
    EXPECT_EQ(
        "youare userid=1 nickname=\"me \\\"quoted\\\"\" address=\"0.0.0.0\" soundport=0 bandmode=-1 "
        "framesize=-1 encodedframesize=-1\r\n",
        user_->lines.back());
    Feed("leave\r\n");
    EXPECT_EQ(Error(311, "No such user"), user_->lines.back());
}

}  // namespace

namespace {

// A burst is handled a few commands per turn; the rest waits, already framed, for the
// next turn, so other connections are served in between.
TEST_F(CommandDispatchTest, ABurstIsHandledAFewCommandsPerTurn) {
    std::string burst;
    for (int i = 0; i < 2 * CommandReader::COMMANDS_PER_TURN + 4; ++i) burst += "ping\r\n";
    EXPECT_TRUE(Read(burst + "pi"));
    EXPECT_EQ(static_cast<size_t>(CommandReader::COMMANDS_PER_TURN), user_->lines.size());
    EXPECT_TRUE(user_->Connection().HasPendingInput());
    bool keepOpen = true;
    while (user_->Connection().HasPendingInput()) user_->Connection().OnStreamResume(keepOpen);
    EXPECT_TRUE(keepOpen);
    EXPECT_EQ(2u * CommandReader::COMMANDS_PER_TURN + 4, user_->lines.size());
    EXPECT_TRUE(Feed("ng\r\n"));
    EXPECT_EQ(2u * CommandReader::COMMANDS_PER_TURN + 5, user_->lines.size());

    // The read itself answers only the cheap commands in front; from the first other one
    // on, the lines wait for a turn, so no client's read costs a login's listing.
    user_->lines.clear();
    EXPECT_TRUE(Read("ping\r\nWHOAMI\r\ndance\r\nping\r\n"));
    EXPECT_EQ((std::vector<std::string>{"pong", "error"}), user_->Words());
    EXPECT_TRUE(user_->Connection().HasPendingInput());
    user_->Connection().OnStreamResume(keepOpen);
    EXPECT_EQ((std::vector<std::string>{"pong", "error", "error", "pong"}), user_->Words());
}

// A line without its LF may hold 4 KiB before login and 64 KiB after; past that the
// client is told and closed, however the bytes trickle in.
TEST_F(CommandDispatchTest, LongLinesCloseTheConnection) {
    for (const bool loggedIn : {false, true}) {
        user_ = std::make_shared<RecordingUser>(1, node_.Links());
        user_->SetLoggedIn(loggedIn);
        const size_t limit = loggedIn ? CommandReader::MAX_LINE : CommandReader::MAX_LINE_BEFORE_LOGIN;
        EXPECT_TRUE(Feed("ping " + std::string(limit - 7, ' ') + "\r\n"));  // a whole line at the limit
        EXPECT_EQ(user_->Words(), std::vector<std::string>{"pong"});
        bool open = true;
        for (size_t sent = 0; open && sent <= limit; sent += 1000) open = Feed("x" + std::string(999, 'y'));
        EXPECT_FALSE(open);
        EXPECT_EQ(Error(100, "Syntax error in command"), user_->lines.back());
        // A whole line one byte past the cap is refused as well.
        user_ = std::make_shared<RecordingUser>(1, node_.Links());
        user_->SetLoggedIn(loggedIn);
        EXPECT_FALSE(Feed("ping " + std::string(limit - 6, ' ') + "\r\n"));
        EXPECT_EQ(std::vector<std::string>{Error(100, "Syntax error in command")}, user_->lines);
    }
}

// Past its burst a connection's commands wait for tokens at the command rate: the lines
// stay pending (nothing is refused) and the connection's next turn is put off. Commands
// that touch only the sender cost a quarter.
TEST_F(CommandDispatchTest, CommandsPastTheBurstWaitForTheRate) {
    node_.Limits().SetCommandRate(1, 3);
    std::string pings;
    for (int i = 0; i < 12; ++i) pings += "ping\r\n";
    EXPECT_TRUE(Read(pings));
    EXPECT_EQ(12u, user_->lines.size());                        // twelve quarters: the whole burst
    user_ = std::make_shared<RecordingUser>(2, node_.Links());  // a full bucket again
    EXPECT_TRUE(Read("x\r\nx\r\nx\r\nx\r\nx\r\n"));
    bool keepOpen = true;
    user_->Connection().OnStreamResume(keepOpen);
    EXPECT_EQ(3u, user_->lines.size());
    EXPECT_TRUE(user_->Connection().HasPendingInput());
    EXPECT_GT(user_->Connection().PendingInputDelay(), ACE_Time_Value(0, 500000));
    EXPECT_LE(user_->Connection().PendingInputDelay(), ACE_Time_Value(1, 1000));
    node_.Limits().SetCommandRate(0, 0);  // off: the rest runs at once
    user_->Connection().OnStreamResume(keepOpen);
    EXPECT_EQ(5u, user_->lines.size());
    EXPECT_EQ(ACE_Time_Value::zero, user_->Connection().PendingInputDelay());
}

// A long line costs a token per KiB (at most the burst, so that it still runs), and the
// copies of a text message a token per 64 KiB of them all besides.
TEST_F(CommandDispatchTest, LongLinesAndTheCopiesOfMessagesCostByTheirBytes) {
    node_.Limits().SetCommandRate(1, 20);
    const struct {
        size_t bytes;  // of each line, its CR LF included
        int members;   // besides the sender: the line is a channel message when not negative
        size_t ran;    // of the twenty sent
    } cases[] = {
        {1024, -1, 20}, {2048, -1, 10}, {4096, -1, 5}, {65536, -1, 1}, {8192, 0, 2}, {8192, 64, 1},
    };
    int id = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + " bytes, " + std::to_string(c.members) + " members");
        std::vector<std::shared_ptr<RecordingUser>> users;
        for (int i = 0; i <= std::max(c.members, 0); ++i) {
            users.push_back(std::make_shared<RecordingUser>(++id, node_.Links()));
            users.back()->SetLoggedIn(true);
            node_.Users().Add(users.back());
            if (c.members >= 0) node_.Channels().UserJoinChannel(id, "/c" + std::to_string(id - i) + "/", "", "");
        }
        user_ = users.front();
        const std::string start = c.members < 0 ? "x" : "message type=2 channel=\"\" content=\"";
        const std::string end = c.members < 0 ? "\r\n" : "\"\r\n";
        std::string line = start + std::string(c.bytes - start.size() - end.size(), 'y') + end, lines;
        for (int i = 0; i < 20; ++i) lines += line;
        user_->lines.clear();
        EXPECT_TRUE(Read(lines));
        bool keepOpen = true;
        user_->Connection().OnStreamResume(keepOpen);
        const std::vector<std::string> words = user_->Words();
        EXPECT_EQ(c.members < 0 ? words.size() : std::count(words.begin(), words.end(), "messagedeliver"), c.ran);
    }
}

}  // namespace
