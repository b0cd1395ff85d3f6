// Which refusal each command answers first, for every command word: the states the table
// asks for, then the parameters in the order the handler reads them, then the rights,
// then what the operation itself refuses. Clients that send a command with several faults
// rely on getting the same first refusal from every server.
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <gtest/gtest.h>

#include <map>

#include "RecordingUser.h"
#include "protocol/CommandLine.h"
#include "server/ServerNode.h"

using quorvane::server::ServerNode;

namespace {

enum Actor { GUEST, HELLO, LOBBY, MEMBER, OPERATOR, ADMIN };

class RefusalOrderTest : public ::testing::Test {
protected:
    RefusalOrderTest() : reactor_(new ACE_Select_Reactor, true), node_(&reactor_, &reactor_, 0, false) {
        node_.Limits().SetCommandRate(0, 0);
        node_.Channels().UserMakeChannel("/open/", "", "", true, 0);
        node_.Channels().UserMakeChannel("/prot/", "pw", "", true, 0);
        quorvane::ChannelFile file;
        file.filename = "f.txt";
        file.internalName = "data_1.dat";
        node_.Files().AddFileToChannel(file, node_.Channels().FindChannel("/open/"));
        // Ids 1-6 are the actors, 7 another member of /open/. None speaks from loopback, so
        // none is trusted into the protected channel.
        for (int id = 1; id <= 7; ++id) {
            auto user = std::make_shared<RecordingUser>(id, node_.Links());
            node_.Users().Add(user);
            if (id != GUEST + 1) user->SetUdpAddress(ACE_INET_Addr(5000, "10.0.0.1"));
            if (id > HELLO + 1) user->SetLoggedIn(true);
            if (id == ADMIN + 1) user->SetAdmin(true);
            users_[id] = user;
        }
        for (int id : {MEMBER + 1, OPERATOR + 1, 7})
            EXPECT_EQ(node_.Channels().UserJoinChannel(id, "/open/", "", ""), 0);
        EXPECT_EQ(node_.Channels().UserGrantOperator("/open/", OPERATOR + 1), 0);
    }

    // The first line the actor gets for the command ("error 301", "filerejected 201"),
    // or "" when it gets none.
    std::string FirstAnswer(Actor actor, const std::string& line) {
        RecordingUser& user = *users_[actor + 1];
        user.lines.clear();
        bool keepOpen = true;
        const std::string bytes = line + "\r\n";
        user.Connection().OnStreamData(bytes.data(), static_cast<ssize_t>(bytes.size()), keepOpen);
        while (keepOpen && user.Connection().HasPendingInput()) user.Connection().OnStreamResume(keepOpen);
        if (user.lines.empty()) return "";
        std::string word, number;
        const std::string text = quorvane::StripLineEnding(user.lines.front());
        quorvane::ExtractCommand(text, word);
        return quorvane::GetStringParam(text, "number", number) ? word + " " + number : word;
    }

    ACE_Reactor reactor_;
    ServerNode node_;
    std::map<int, std::shared_ptr<RecordingUser>> users_;
};

TEST_F(RefusalOrderTest, EveryCommandRefusesInTheSameOrder) {
    const struct {
        Actor actor;
        const char* line;
        const char* answer;
    } cases[] = {
        {GUEST, "login", "error 302"},
        {HELLO, "login", "error 2026"},
        {HELLO, "login protocol=\"1\"", "error 2001"},
        {HELLO, "login protocol=\"1\" nickname=\"n\"", "error 2027"},
        {HELLO, "login protocol=\"1\" nickname=\"n\" serverpassword=\"\"", "error 2003"},
        {LOBBY, "login", "error 300"},
        {ADMIN, "login", "error 206"},
        {GUEST, "logout", "error 301"},
        {GUEST, "changenick", "error 301"},
        {ADMIN, "changenick", "error 206"},
        {LOBBY, "changenick", "error 2001"},
        {GUEST, "join", "error 301"},
        {ADMIN, "join", "error 206"},
        {LOBBY, "join", "error 2005"},
        {LOBBY, "join channel=\"/prot/\"", "error 201"},
        {GUEST, "leave", "error 301"},
        {ADMIN, "leave", "error 206"},
        {LOBBY, "leave", "error 311"},
        {GUEST, "pwc", "error 301"},
        {GUEST, "whoami", "error 301"},
        {ADMIN, "whoami", "error 206"},
        {GUEST, "changestatus", "error 301"},
        {ADMIN, "changestatus", "error 206"},
        {LOBBY, "changestatus", "error 2006"},
        {LOBBY, "changestatus statusmode=1", "error 2025"},
        {GUEST, "message", "error 301"},
        {ADMIN, "message", "error 206"},
        {LOBBY, "message", "error 2012"},
        {LOBBY, "message type=3", "error 2012"},
        {LOBBY, "message type=2", "error 2005"},
        {LOBBY, "message type=1 channel=\"\"", "error 2010"},
        {MEMBER, "message type=2 channel=\"/prot/\"", "error 2025"},
        {LOBBY, "message type=2 channel=\"/prot/\" content=\"x\"", ""},  // a sender in no channel
        {MEMBER, "message type=2 channel=\"/prot/\" content=\"x\"", "error 201"},
        {GUEST, "kick", "error 301"},
        {LOBBY, "kick", "error 2000"},
        {LOBBY, "kick userid=7", "error 311"},
        {MEMBER, "kick userid=4", "error 311"},
        {MEMBER, "kick userid=99", "error 311"},
        {MEMBER, "kick userid=7", "error 203"},
        {LOBBY, "admin", "error 300"},
        {GUEST, "admin", "error 2013"},
        {GUEST, "admin username=\"x\"", "error 2027"},
        {GUEST, "makechannel", "error 301"},
        {LOBBY, "makechannel", "error 205"},
        {ADMIN, "makechannel", "error 2005"},
        {GUEST, "updatechannel", "error 301"},
        {LOBBY, "updatechannel", "error 205"},
        {ADMIN, "updatechannel", "error 2005"},
        {ADMIN, "updatechannel channel=\"/open/\"", "error 2027"},
        {ADMIN, "updatechannel channel=\"/open/\" password=\"\"", "error 2014"},
        {ADMIN, "updatechannel channel=\"/open/\" password=\"\" topic=\"\"", "error 2015"},
        {GUEST, "removechannel", "error 301"},
        {LOBBY, "removechannel", "error 205"},
        {ADMIN, "removechannel", "error 2005"},
        {GUEST, "moveuser", "error 301"},
        {LOBBY, "moveuser", "error 205"},
        {ADMIN, "moveuser", "error 2016"},
        {ADMIN, "moveuser srcchannel=\"/open/\"", "error 2017"},
        {ADMIN, "moveuser srcchannel=\"/open/\" destchannel=\"/prot/\"", "error 2000"},
        {GUEST, "updateserver", "error 205"},
        {LOBBY, "updateserver", "error 205"},
        {ADMIN, "updateserver", "error 2019"},
        {ADMIN, "updateserver channels=1", "error 2020"},
        {ADMIN, "updateserver channels=1 operators=1", "error 2021"},
        {ADMIN, "updateserver channels=1 operators=1 servername=\"\"", "error 2027"},
        {ADMIN, "updateserver channels=1 operators=1 servername=\"\" password=\"\"", "error 2028"},
        {GUEST, "updateadmin", "error 205"},
        {ADMIN, "updateadmin", "error 2013"},
        {ADMIN, "updateadmin username=\"x\"", "error 2027"},
        {GUEST, "saveconfig", "error 205"},
        {LOBBY, "saveconfig", "error 205"},
        {GUEST, "op", "error 301"},
        {LOBBY, "op channel=\"/\"", "error 2000"},
        {LOBBY, "op userid=1", "error 2005"},
        {LOBBY, "op userid=7 channel=\"/open/\"", "error 203"},
        {MEMBER, "op userid=7 channel=\"/open/\"", "error 203"},
        {MEMBER, "op userid=7 channel=\"/nowhere/\"", "error 203"},
        {OPERATOR, "op userid=99 channel=\"/open/\"", "error 311"},
        {GUEST, "ban", "error 205"},
        {LOBBY, "ban", "error 205"},
        {ADMIN, "ban", "error 2000"},
        {ADMIN, "ban userid=99", "error 311"},
        {LOBBY, "unban", "error 205"},
        {ADMIN, "unban", "error 2029"},
        {ADMIN, "unban address=\"192.0.2.1\"", "error 313"},
        {LOBBY, "listbans", "error 205"},
        {GUEST, "listusers", "error 205"},
        {LOBBY, "listusers", "error 205"},
        {GUEST, "regsendfile", "error 301"},
        {LOBBY, "regsendfile", "error 2005"},
        {LOBBY, "regsendfile channel=\"/prot/\"", "error 2022"},
        {LOBBY, "regsendfile channel=\"/prot/\" filename=\"f\"", "error 2023"},
        {LOBBY, "regsendfile channel=\"/prot/\" filename=\"f\" filesize=x", "error 2023"},
        {MEMBER, "regsendfile channel=\"/prot/\" filename=\"f\" filesize=1", "filerejected 201"},
        {MEMBER, "regsendfile channel=\"/open/\" filename=\"f\" filesize=1", "filerejected 317"},
        {GUEST, "regrecvfile", "error 301"},
        {LOBBY, "regrecvfile", "error 2005"},
        {LOBBY, "regrecvfile channel=\"/prot/\"", "error 2022"},
        {MEMBER, "regrecvfile channel=\"/prot/\" filename=\"f\"", "filerejected 201"},
        {MEMBER, "regrecvfile channel=\"/open/\" filename=\"f\"", "filerejected 317"},
        {LOBBY, "sendfile", "error 300"},
        {GUEST, "sendfile", "error 2032"},
        {LOBBY, "recvfile", "error 300"},
        {GUEST, "recvfile", "error 2032"},
        {GUEST, "fileshare", "error 301"},
        {LOBBY, "fileshare", "error 2033"},
        {LOBBY, "fileshare diskquota=-1", "error 2033"},
        {GUEST, "deletefile", "error 301"},
        {LOBBY, "deletefile", "error 2022"},
        {LOBBY, "deletefile filename=\"f.txt\"", "error 2005"},
        {LOBBY, "deletefile filename=\"f.txt\" channel=\"/nowhere/\"", "error 312"},
        {MEMBER, "deletefile filename=\"none\" channel=\"/open/\"", "error 315"},
        {MEMBER, "deletefile filename=\"f.txt\" channel=\"/open/\"", "error 203"},
        {GUEST, "dance", "error 101"},
        {GUEST, "ping x", "error 100"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FirstAnswer(c.actor, c.line), c.answer) << c.line << " from actor " << c.actor;
}

}  // namespace
