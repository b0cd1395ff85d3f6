// The channel operations and the sessions as parts of their own: built from the parts they
// use, with the host's listener and the saves as fakes that record, and users that record
// their lines. No node, no socket, no loop.
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingUser.h"
#include "protocol/ErrorCodes.h"
#include "server/AdminAccount.h"
#include "server/BanTable.h"
#include "server/Broadcaster.h"
#include "server/ChannelService.h"
#include "server/ChannelTree.h"
#include "server/DepartureNews.h"
#include "server/FileStore.h"
#include "server/FloodLimits.h"
#include "server/SaveRequests.h"
#include "server/ServerProperties.h"
#include "server/TransferTable.h"
#include "server/UserRegistry.h"
#include "server/UserSessions.h"
#include "server/VoiceRoutes.h"

using namespace quorvane;
using namespace quorvane::server;

namespace {

// The host's side: what it is told, one word each, in order.
class RecordingHost : public ServerNodeListener, public SaveRequests {
public:
    void OnUserLoggedIn(const serveruser_t& user) override { Note("loggedin", user->GetUserID()); }
    void OnUserDisconnected(const serveruser_t& user) override { Note("disconnected", user->GetUserID()); }
    void OnUserDropped(const serveruser_t& user) override { Note("dropped", user->GetUserID()); }
    void OnUserLagging(const serveruser_t& user) override { Note("lagging", user->GetUserID()); }
    void OnSecurityEvent(const SecurityEvent& event) override { Note("security", event.kind); }
    void OnUserJoinedChannel(const serveruser_t& user, const serverchannel_t& channel) override {
        Note("joined " + channel->GetChannelPath(), user->GetUserID());
    }
    void OnChannelCreated(const serverchannel_t& channel) override { Note("created " + channel->GetChannelPath()); }
    void OnChannelRemoved(const serverchannel_t& channel) override { Note("removed " + channel->GetChannelPath()); }
    void OnFileRemoved(const serverchannel_t& channel, const ChannelFile& file) override {
        Note("fileremoved " + channel->GetChannelPath() + file.filename);
    }
    void SaveIfSavingOnChange() override { Note("save"); }
    void BansChanged() override { Note("bans"); }
    void UserSaveConfig(const ServerNodeListener::SaveDone& done) override { done(true); }

    void Note(const std::string& what, int number = -1) {
        events.push_back(number < 0 ? what : what + " " + std::to_string(number));
    }
    std::vector<std::string> Take() { return std::move(events); }

    std::vector<std::string> events;
};

class PartsTest : public ::testing::Test {
protected:
    PartsTest() { properties.SetChannelDiskQuota(1000); }
    // As the node lets its users and tree go before its parts.
    ~PartsTest() override {
        users.DetachAll();
        tree.GetRootChannel()->DetachTree();
    }

    std::shared_ptr<RecordingUser> Add(int id, bool loggedIn = true) {
        const auto user = std::make_shared<RecordingUser>(id, links);
        users.Add(user);
        user->SetNickname("n" + std::to_string(id));
        user->SetLoggedIn(loggedIn);
        return user;
    }
    std::shared_ptr<RecordingUser> Joined(int id, const std::string& path) {
        const auto user = Add(id);
        EXPECT_EQ(ERR_SUCCESS, channels.UserJoinChannel(id, path, "", ""));
        user->lines.clear();
        return user;
    }

    RecordingHost host;
    FakeUserLinks fakes;
    ServerStatistics statistics;
    CommandRate rate;
    std::atomic<bool> started{false};
    UserRegistry users{nullptr, statistics};
    ChannelTree tree{nullptr};
    ServerProperties properties{nullptr, users, host};
    AdminAccount admin{nullptr, host};
    FloodLimits limits{nullptr, statistics, users, host, rate};
    BanTable bans{nullptr, statistics, limits, users, host};
    Broadcaster broadcast{nullptr, users};
    DepartureNews departures{nullptr, tree, users};
    FileStore files{nullptr, started, statistics, broadcast, tree, users, host};
    TransferTable transfers{nullptr, statistics, files, tree, users, host};
    ChannelService channels{nullptr,    tree,      users, properties, limits, broadcast,
                            departures, transfers, files, statistics, host,   host};
    VoiceRoutes routes{100};
    UserSessions sessions{nullptr, users,     properties, admin,  bans,       limits, channels,
                          tree,    transfers, files,      routes, statistics, host};
    OutputPolicy policy{fakes};
    const UserLinks links{nullptr, statistics, rate, fakes, sessions, departures, policy, transfers};
};

// A join makes the channel it names, its maker operator; the others in it hear of the
// newcomer; each refusal changes nothing and answers its own error.
TEST_F(PartsTest, ChannelServiceJoinsMakesAndRefusesOnItsOwn) {
    const auto first = Add(1), second = Add(2);
    ASSERT_EQ(ERR_SUCCESS, channels.UserJoinChannel(1, "/room/", "", "topic"));
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"created /room/", "save", "joined /room/ 1"}));
    EXPECT_TRUE(tree.FindChannel("/room/")->IsOperator(1));
    EXPECT_EQ(1, statistics.Get(ServerStatistics::CHANNELS));
    EXPECT_EQ(second->Words(), (std::vector<std::string>{"addchannel", "updatechannel"}));
    first->lines.clear();
    second->lines.clear();
    ASSERT_EQ(ERR_SUCCESS, channels.UserJoinChannel(2, "/ROOM/", "", ""));
    EXPECT_EQ(first->Words(), (std::vector<std::string>{"adduser", "updatechannel"}));
    EXPECT_EQ(second->Words(), (std::vector<std::string>{"joined", "adduser", "adduser", "done", "updatechannel"}));

    ASSERT_EQ(ERR_SUCCESS, channels.UserMakeChannel("/locked/", "pw", "", true, 0));
    channels.SetMaxChannels(3);
    host.Take();
    const struct {
        const char* path;
        const char* password;
        bool allowCreation;
        int error;
    } refusals[] = {
        {"/locked/", "wrong", true, ERR_INCORRECT_CHANNEL_PASSWORD},
        {"/new/", "", false, ERR_CHANNEL_CREATION_NOT_ALLOWED},
        {"/missing/parent/", "", true, ERR_INCORRECT_CHANNEL_PASSWORD},
    };
    for (const auto& refusal : refusals) {
        properties.SetAllowChannelCreation(refusal.allowCreation);
        EXPECT_EQ(refusal.error, channels.UserJoinChannel(2, refusal.path, refusal.password, "")) << refusal.path;
        EXPECT_EQ("/room/", second->GetChannel()->GetChannelPath());
    }
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"security 2"}));  // the wrong channel password
    EXPECT_EQ(ERR_CHANNEL_ALREADY_EXISTS, channels.UserMakeChannel("/room/", "", "", true, 0));
    EXPECT_EQ(ERR_CHANNEL_NOT_FOUND, channels.UserMakeChannel("/no/such/", "", "", true, 0));
    EXPECT_EQ(ERR_SUCCESS, channels.UserMakeChannel("/third/", "", "", true, 0));
    EXPECT_EQ(ERR_CHANNEL_CREATION_NOT_ALLOWED, channels.UserMakeChannel("/fourth/", "", "", true, 0));
    EXPECT_EQ(ERR_CHANNEL_NOT_FOUND, channels.UserRemoveChannel("/nowhere/"));
}

// A removed channel goes bottom up with its files, its users are logged out; a user's end
// is news for the others, takes its operator rights, and removes what it left empty.
TEST_F(PartsTest, ChannelServiceRemovesChannelsAndWhatUsersLeaveBehind) {
    ASSERT_EQ(ERR_SUCCESS, channels.UserMakeChannel("/a/", "", "", true, 0));
    ASSERT_EQ(ERR_SUCCESS, channels.UserMakeChannel("/a/b/", "", "", true, 0));
    ChannelFile file;
    file.filename = "f";
    file.internalName = "data_1.dat";
    files.AddFileToChannel(file, tree.FindChannel("/a/b/"));
    const auto inside = Joined(1, "/a/b/");
    host.Take();
    ASSERT_EQ(ERR_SUCCESS, channels.UserRemoveChannel("/a/"));
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"fileremoved /a/b/f", "removed /a/b/", "removed /a/", "save"}));
    EXPECT_FALSE(inside->IsLoggedIn());
    EXPECT_EQ(0, statistics.Get(ServerStatistics::FILES));
    EXPECT_EQ(0, statistics.Get(ServerStatistics::CHANNELS));

    const auto leaver = Joined(2, "/room/"), stayer = Joined(3, "/room/");
    ASSERT_TRUE(tree.FindChannel("/room/")->IsOperator(2));
    channels.UserGone(*leaver);
    EXPECT_FALSE(tree.FindChannel("/room/")->IsOperator(2));
    EXPECT_TRUE(stayer->lines.empty());  // told in one piece before its next line
    departures.CatchUp(*stayer);
    // In one piece: the leaver, then the channel as it is now.
    EXPECT_EQ(stayer->Words(), (std::vector<std::string>{"removeuser"}));
    EXPECT_NE(stayer->lines[0].find("\r\nupdatechannel channel=\"/room/\" protected=0 topic=\"\" operators=[]"),
              std::string::npos);
    channels.UserGone(*stayer);
    EXPECT_FALSE(tree.FindChannel("/room/"));
}

// The logins run one flow: a user's refusals in their order, each failure of a password
// reported and counted against the door's lockout; the administrator does not count
// against the user limit and gets the tree with its users and files.
TEST_F(PartsTest, UserSessionsLogInUsersAndTheAdministratorInOneFlow) {
    properties.SetServerPassword("pw");
    properties.SetMaxUsers(1);
    admin.SetAdminAccount("admin", "secret");
    limits.SetPasswordLockout(2);
    const auto first = Add(1, false), second = Add(2, false), boss = Add(3, false);
    const struct {
        int user;
        const char* password;
        int error;
    } logins[] = {
        {9, "pw", ERR_USER_NOT_FOUND},
        {1, "wrong", ERR_INCORRECT_SERVER_PASSWORD},
        {1, "pw", ERR_SUCCESS},
        {2, "pw", ERR_MAX_USERS_EXCEEDED},
    };
    for (const auto& login : logins)
        EXPECT_EQ(login.error, sessions.UserLogin(login.user, login.password)) << login.user << login.password;
    EXPECT_EQ(first->Words(), (std::vector<std::string>{"accepted", "addchannel"}));
    EXPECT_EQ(1, users.GetCountedUsers());
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"security 0", "loggedin 1"}));

    properties.SetMaxUsers(5);
    bans.AddBan("0.0.0.0", BanRecord());  // what a user without a connection counts as
    EXPECT_EQ(ERR_SERVER_BANNED, sessions.UserLogin(2, "pw"));
    EXPECT_FALSE(second->IsLoggedIn());

    // The administrator's door locks apart, after two wrong answers even the right one.
    EXPECT_EQ(ERR_INCORRECT_SERVER_PASSWORD, sessions.UserAdminLogin(3, "admin", "nope"));
    EXPECT_EQ(ERR_INCORRECT_SERVER_PASSWORD, sessions.UserAdminLogin(3, "ADMIN", "nope"));
    EXPECT_EQ(ERR_INCORRECT_SERVER_PASSWORD, sessions.UserAdminLogin(3, "admin", "secret"));
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"security 1", "security 3", "security 1", "security 1"}));
    limits.Clear();
    ASSERT_EQ(ERR_SUCCESS, sessions.UserAdminLogin(3, "Admin", "secret"));
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"security 4"}));
    EXPECT_EQ(boss->Words(), (std::vector<std::string>{"ok", "addchannel", "fileshareinfo"}));
    EXPECT_TRUE(boss->IsAdmin());
    EXPECT_EQ(1, users.GetCountedUsers());
    EXPECT_EQ(2, users.GetUsersOnline());
    EXPECT_EQ(users.GetLoggedInAdmins().size(), 1u);
}

// Every way out ends in UserDisconnected: out of the channel, the transfers and the
// registry, once; lag and silence are counted and reported.
TEST_F(PartsTest, UserSessionsEndUsersWhicheverWayTheyGo) {
    const auto leaver = Joined(1, "/room/"), stayer = Joined(2, "/room/");
    host.Take();
    sessions.UserDisconnected(1);
    sessions.UserDisconnected(1);
    EXPECT_FALSE(users.GetUser(1));
    EXPECT_EQ(1u, tree.FindChannel("/room/")->GetUsers().size());
    EXPECT_FALSE(leaver->IsLoggedIn());
    EXPECT_EQ(1, users.GetCountedUsers());

    sessions.UserLagging(2);
    sessions.UserLagging(7);  // gone already: counted, not reported
    EXPECT_EQ(2u, statistics.Get(ServerStatistics::CLOSED_LAGGING));
    for (int tick = 0; tick <= UserSessions::INACTIVITY_LIMIT_SECONDS / UserSessions::INACTIVITY_STEP_SECONDS; ++tick)
        sessions.CheckInactivity();
    EXPECT_EQ(host.Take(), (std::vector<std::string>{"disconnected 1", "lagging 2", "dropped 2"}));
    EXPECT_EQ(1u, statistics.Get(ServerStatistics::CLOSED_INACTIVE));
    EXPECT_EQ(ERR_USER_NOT_FOUND, sessions.UserKick(1));
    EXPECT_EQ(ERR_SUCCESS, sessions.UserLogout(2));
    EXPECT_EQ(stayer->Words().back(), "loggedout");
    EXPECT_TRUE(tree.FindChannel("/room/"));  // left empty: removed as its last user goes
    sessions.UserDisconnected(2);
    EXPECT_FALSE(tree.FindChannel("/room/"));
}

}  // namespace
