// Users leaving at once: each receiver hears every leaver of its channel and each changed
// channel's state in one piece, before any later line and before it changes channel;
// the others when the news is told to everyone; nobody hears anything twice.
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <gtest/gtest.h>

#include "RecordingUser.h"
#include "server/ServerNode.h"

using quorvane::server::ServerNode;

namespace {

class DepartureNewsTest : public ::testing::Test {
protected:
    DepartureNewsTest() : reactor_(new ACE_Select_Reactor, true), node_(&reactor_, &reactor_, 0, false) {}

    std::shared_ptr<RecordingUser> Add(int id, const char* channel, bool admin = false) {
        const std::shared_ptr<RecordingUser> user = std::make_shared<RecordingUser>(id, node_.Links());
        node_.Users().Add(user);
        user->SetLoggedIn(true);
        user->SetAdmin(admin);
        if (channel) {
            EXPECT_EQ(node_.Channels().UserJoinChannel(id, channel, "", ""), 0);
        }
        return user;
    }

    static std::string RemoveUser(int id) {
        return "removeuser userid=" + std::to_string(id) + " channel=\"/crowd/\"\r\n";
    }
    static std::string Update(int users, bool admin) {
        return std::string("updatechannel channel=\"/crowd/\" ") + (admin ? "password=\"\" static=0" : "protected=0") +
               " topic=\"\" operators=[" + (users > 0 ? "1" : "") + "] usercount=" + std::to_string(users) +
               " diskquota=0\r\n";
    }

    ACE_Reactor reactor_;
    ServerNode node_;
};

TEST_F(DepartureNewsTest, EachReceiverHearsAllLeaversInOnePieceBeforeItsNextLine) {
    const auto watcher = Add(1, "/crowd/");
    const auto mover = Add(2, "/crowd/");
    const auto admin = Add(3, nullptr, true);
    const auto outside = Add(4, nullptr);
    std::string leavers;
    for (int id = 10; id < 40; ++id) {
        Add(id, "/crowd/");
        leavers += RemoveUser(id);
    }
    for (const auto& user : {watcher, mover, admin, outside}) user->lines.clear();
    for (int id = 10; id < 40; ++id) node_.Sessions().UserDisconnected(id);
    for (const auto& user : {watcher, mover, admin, outside}) EXPECT_TRUE(user->lines.empty());

    // A line to the watcher: first the news, as it stands now, in one piece.
    watcher->SendNotice("hello\r\n");
    EXPECT_EQ(watcher->lines, (std::vector<std::string>{leavers + Update(2, false), "hello\r\n"}));
    // A member that changes channel hears its old channel's news first.
    ASSERT_EQ(node_.Channels().UserJoinChannel(2, "/elsewhere/", "", ""), 0);
    ASSERT_FALSE(mover->lines.empty());
    EXPECT_EQ(mover->lines[0], leavers + Update(2, false));
    // Everyone else when it is told to everyone; then nobody owes anything.
    node_.Departures().TellEveryone();
    ASSERT_FALSE(admin->lines.empty());
    EXPECT_EQ(admin->lines[0], leavers + Update(2, true));
    ASSERT_FALSE(outside->lines.empty());
    EXPECT_EQ(outside->lines[0], Update(2, false));
    watcher->lines.clear();
    node_.Departures().TellEveryone();
    watcher->SendNotice("again\r\n");
    EXPECT_EQ(watcher->lines, std::vector<std::string>{"again\r\n"});
    // A newcomer hears nothing of what happened before it came.
    const auto late = Add(50, nullptr);
    EXPECT_EQ(node_.Departures().End(), late->HeardUpTo());
}

}  // namespace
