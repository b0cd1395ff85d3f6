// Who may do what, through the real server: channel passwords guard messages and files,
// operators' and the administrator's rights, the values only the administrator changes,
// transfer ids that cannot be guessed or hoarded, bans by the command connection's
// address and the per-connection command throttle. Clients come from 127.0.0.2, which
// the loopback exemption does not cover, unless a row says otherwise.
#include <string>
#include <vector>

#include "FileSharingFixture.h"

namespace quorvane {
namespace test {
namespace {

// Lines about others that may arrive at any time.
bool IsNews(const std::string& word) {
    return word == "updatechannel" || word == "adduser" || word == "updateuser" || word == "removeuser" ||
           word == "messagedeliver" || word == "addfile" || word == "removefile" || word == "addchannel";
}

class AccessTest : public FileSharingTest {
protected:
    void EnterWithPassword(TestUser& user, const std::string& nickname, const std::string& channel,
                           const std::string& password) {
        ASSERT_TRUE(ConnectAndLogin(user, nickname));
        user.tcp.Send("join channel=\"" + channel + "\" password=\"" + password + "\"\r\n");
        ASSERT_FALSE(SkipUntil(user.tcp, "done").empty());
    }

    // What the line got back, in short: "none", the word, or the word and its number (or
    // quota): "error 201", "filerejected 201", "fileshareinfo 0". A ping behind the line
    // marks where its answer ends.
    std::string Summary(TestUser& user, const std::string& line) {
        user.tcp.Send(line + "\r\nping\r\n");
        std::string answer = "none";
        for (;;) {
            const std::string reply = NextLine(user.tcp);
            const std::string word = CommandWord(reply);
            if (word == "pong" || reply.empty()) return answer;
            if (answer != "none" || IsNews(word)) continue;
            answer = word;
            if (word == "error" || word == "filerejected") answer += " " + Param(reply, "number");
            if (word == "fileshareinfo") answer += " " + Param(reply, "diskquota");
        }
    }
};

TEST_F(AccessTest, ChannelPasswordsOperatorsAndTheAdministratorDecideWhoMayDoWhat) {
    StartSharing(MIB);
    TestUser op("127.0.0.2"), member("127.0.0.2"), outsider("127.0.0.2"), local, admin;
    EnterWithPassword(op, "op", "/Secret/", "pw");  // makes it, and is its operator
    EnterWithPassword(member, "member", "/Secret/", "pw");
    Enter(outsider, "outsider", "/Lobby/");
    Enter(local, "local", "/Lobby/");
    LoginAdmin(admin);
    ASSERT_TRUE(Upload(local, "/Secret/", "s.txt", "secret"));  // its data connection comes from 127.0.0.1
    const std::string memberId = std::to_string(member.id), opId = std::to_string(op.id);

    struct Row {
        TestUser* actor;
        std::string line;
        const char* expected;
    } rows[] = {
        {&outsider, "message type=2 channel=\"/Secret/\" content=\"leak\"", "error 201"},
        {&member, "message type=2 channel=\"/Secret/\" content=\"x\"", "ok"},
        {&local, "message type=2 channel=\"/Secret/\" content=\"x\"", "ok"},  // loopback is trusted
        {&outsider, "message type=2 channel=\"/Lobby/\" content=\"x\"", "ok"},
        {&outsider, "regrecvfile channel=\"/Secret/\" filename=\"s.txt\"", "filerejected 201"},
        {&member, "regrecvfile channel=\"/Secret/\" filename=\"s.txt\"", "fileaccepted"},
        {&local, "regrecvfile channel=\"/Secret/\" filename=\"s.txt\"", "fileaccepted"},
        {&admin, "regrecvfile channel=\"/Secret/\" filename=\"s.txt\"", "fileaccepted"},
        {&outsider, "regsendfile channel=\"/Secret/\" filename=\"n\" filesize=1", "filerejected 201"},
        {&member, "regsendfile channel=\"/Secret/\" filename=\"n\" filesize=1", "fileaccepted"},
        {&outsider, "deletefile channel=\"/Secret/\" filename=\"s.txt\"", "error 203"},
        {&member, "deletefile channel=\"/Secret/\" filename=\"s.txt\"", "error 203"},
        {&member, "kick userid=" + opId, "error 203"},
        {&outsider, "kick userid=" + memberId, "error 311"},  // not in its channel
        {&member, "op userid=" + memberId + " channel=\"/Secret/\"", "error 203"},
        {&outsider, "op userid=" + memberId + " channel=\"/Secret/\"", "error 203"},
        {&outsider, "fileshare diskquota=5", "fileshareinfo 1048576"},  // asked, nothing changed
        {&outsider, "fileshare diskquota=-1", "error 2033"},
        {&admin, "fileshare diskquota=abc", "error 2033"},
        {&admin, "fileshare diskquota=5", "fileshareinfo 5"},
        {&admin, "makechannel channel=\"/q/\" diskquota=-1", "error 2033"},
        {&admin, "updatechannel channel=\"/Lobby/\" password=\"\" topic=\"\" static=0 diskquota=x", "error 2033"},
        {&op, "op userid=" + memberId + " channel=\"/Secret/\"", "none"},
        {&op, "deletefile channel=\"/Secret/\" filename=\"s.txt\"", "none"},
        {&op, "kick userid=" + memberId, "none"},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(Summary(*row.actor, row.line), row.expected);
    }
    EXPECT_TRUE(member.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    // The refused message reached nobody: not the operator, who is in the channel.
    std::vector<std::string> seen;
    op.tcp.Send("ping\r\n");
    op.tcp.Expect("pong", DEFAULT_TIMEOUT_MS, &seen);
    for (const std::string& line : seen) EXPECT_EQ(line.find("leak"), std::string::npos) << line;
}

TEST_F(AccessTest, WithoutTrustedLoopbackLocalClientsGiveChannelPasswordsToo) {
    ServerConfig config;
    config.trustLoopback = false;
    StartSharing(MIB, config);
    TestUser owner, local;
    EnterWithPassword(owner, "owner", "/Secret/", "pw");
    ASSERT_TRUE(Upload(owner, "/Secret/", "s.txt", "secret"));
    Enter(local, "local", "/Lobby/");
    EXPECT_EQ(Summary(local, "join channel=\"/Secret/\" password=\"\""), "error 201");
    EXPECT_EQ(Summary(local, "regrecvfile channel=\"/Secret/\" filename=\"s.txt\""), "filerejected 201");
}

TEST_F(AccessTest, TransferIdsAreRandomAndAUserHoldsSixteenWaitingRegistrations) {
    StartSharing(MIB);
    TestUser ann;
    Enter(ann, "ann", "/share/");
    ASSERT_TRUE(Upload(ann, "/share/", "f", "data"));
    std::vector<int> ids;
    for (int i = 0; i < 17; ++i) ids.push_back(Register(ann, "regrecvfile", "/share/", "f"));
    int successive = 0;
    for (size_t i = 1; i < ids.size(); ++i) {
        EXPECT_GT(ids[i], 0);
        successive += ids[i] == ids[i - 1] + 1;
    }
    EXPECT_LT(successive, 3) << "ids in sequence can be guessed";
    // The seventeenth dropped the oldest; the others still work.
    LineClient oldest, second;
    EXPECT_EQ(ErrorNumber(Begin(oldest, "recvfile", ids[0])), 314);
    EXPECT_EQ(CommandWord(Begin(second, "recvfile", ids[1])), "fileready");
}

TEST_F(AccessTest, AnIdleDataConnectionIsClosedAndItsUploadDeleted) {
    ServerConfig config;
    config.transferTimeout = 1;
    StartSharing(MIB, config);
    TestUser ann;
    Enter(ann, "ann", "/share/");
    LineClient data;
    ASSERT_EQ(CommandWord(Begin(data, "sendfile", Register(ann, "regsendfile", "/share/", "f", "10"))), "filedeliver");
    data.Send("abc");
    EXPECT_TRUE(data.WaitClosed(DEFAULT_TIMEOUT_MS));
    EXPECT_TRUE(NoTemporaryFileLeft());
}

TEST_F(AccessTest, ABanTakesTheAddressOfTheCommandConnection) {
    StartSharing(MIB);
    TestUser admin, silent("127.0.0.2");
    LoginAdmin(admin);
    Connect(silent);  // no voice hello
    EXPECT_EQ(Summary(admin, "ban userid=" + std::to_string(silent.id)), "ok");
    admin.tcp.Send("listbans\r\n");
    EXPECT_EQ(Param(admin.tcp.Expect("userbanned"), "address"), "127.0.0.2");
}

TEST_F(AccessTest, CommandsPastTheRateWaitAndAreAllAnswered) {
    ServerConfig config;
    config.commandRate = 50;
    config.commandBurst = 10;
    StartSharing(MIB, config);
    TestUser flooder, other;
    ASSERT_TRUE(ConnectAndLogin(flooder, "flooder"));
    ASSERT_TRUE(ConnectAndLogin(other, "other"));
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += "ping\r\n";
    flooder.tcp.Send(burst);
    EXPECT_EQ(Summary(other, "whoami"), "youare");  // the others are served meanwhile
    for (int i = 0; i < 60; ++i) ASSERT_FALSE(flooder.tcp.Expect("pong", DEFAULT_TIMEOUT_MS).empty()) << i;
}

}  // namespace
}  // namespace test
}  // namespace quorvane
