#include <ace/Message_Block.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <gtest/gtest.h>

#include "RecordingUser.h"
#include "server/Listing.h"
#include "server/ServerChannel.h"
#include "server/ServerNode.h"

using quorvane::ChannelFile;
using quorvane::ChannelPathsEqual;
using quorvane::FindChannelByPath;
using quorvane::SplitChannelPath;
using quorvane::server::ServerChannel;
using quorvane::server::serverchannel_t;

namespace {

serverchannel_t AddChild(const serverchannel_t& parent, const std::string& name) {
    serverchannel_t child = std::make_shared<ServerChannel>(name);
    child->SetParent(parent);
    parent->AddSubChannel(child);
    return child;
}

ChannelFile MakeFile(const std::string& name, int64_t size) {
    ChannelFile file;
    file.filename = name;
    file.internalName = "data_" + name;
    file.filesize = size;
    return file;
}

}  // namespace

TEST(ChannelPath, PathsAreBuiltFromTheRootDown) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t b = AddChild(root, "b");
    serverchannel_t a = AddChild(b, "A");
    EXPECT_EQ("/", root->GetChannelPath());
    EXPECT_EQ("/b/", b->GetChannelPath());
    EXPECT_EQ("/b/A/", a->GetChannelPath());
    EXPECT_TRUE(root->IsRootChannel());
    EXPECT_FALSE(a->IsRootChannel());
}

TEST(ChannelPath, SplittingIgnoresEmptyRuns) {
    const std::vector<std::string> ab = {"a", "b"};
    EXPECT_EQ(ab, SplitChannelPath("/a/b/"));
    EXPECT_EQ(ab, SplitChannelPath("a/b"));
    EXPECT_EQ(ab, SplitChannelPath("a//b/"));
    EXPECT_EQ(ab, SplitChannelPath("/a/b"));
    EXPECT_TRUE(SplitChannelPath("/").empty());
    EXPECT_TRUE(SplitChannelPath("").empty());
    EXPECT_TRUE(SplitChannelPath("///").empty());
}

TEST(ChannelPath, LookupAndComparisonIgnoreLetterCase) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t b = AddChild(root, "b");
    serverchannel_t a = AddChild(b, "A");
    EXPECT_EQ(a, FindChannelByPath(root, "/B/a"));
    EXPECT_EQ(a, FindChannelByPath(root, "b/A"));
    EXPECT_EQ(a, FindChannelByPath(root, "/b//a/"));
    EXPECT_FALSE(FindChannelByPath(root, "/b/x/"));
    EXPECT_EQ(root, FindChannelByPath(root, "/"));
    EXPECT_EQ(root, FindChannelByPath(root, ""));

    EXPECT_TRUE(ChannelPathsEqual("/Lobby/", "lobby"));
    EXPECT_TRUE(ChannelPathsEqual("/Lobby/", "/lobby//"));
    EXPECT_FALSE(ChannelPathsEqual("/Lobby/", "/Lobby/x/"));
    // Only ASCII letters fold: other bytes must match exactly.
    EXPECT_FALSE(ChannelPathsEqual("/\xC3\x84/", "/\xC3\xA4/"));

    EXPECT_TRUE(a->SameChannel(FindChannelByPath(root, "/B/a/")));
    EXPECT_FALSE(a->SameChannel(b));
    EXPECT_FALSE(a->SameChannel(serverchannel_t()));
}

TEST(ChannelTree, FirstMatchingSubChannelWinsAndRemovalIsByName) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t first = AddChild(root, "Games");
    serverchannel_t second = AddChild(root, "GAMES");
    EXPECT_EQ(first, root->GetSubChannel("games"));
    root->RemoveSubChannel("gAmEs");
    EXPECT_EQ(1, root->GetSubChannelsCount());
    EXPECT_EQ(second, root->GetSubChannel("games"));
    root->RemoveSubChannel("nothing");
    EXPECT_EQ(1, root->GetSubChannelsCount());
    root->AddSubChannel(serverchannel_t());
    EXPECT_EQ(1, root->GetSubChannelsCount());
}

TEST(ChannelTree, DroppingASubTreeEmptiesWeakLinks) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t games = AddChild(root, "Games");
    std::weak_ptr<ServerChannel> quiet = AddChild(games, "Quiet");
    auto user = MakeLoggedInUser(3);
    user->SetChannel(quiet.lock());
    quiet.lock()->AddUser(3, user);

    games.reset();
    root->RemoveSubChannel("Games");
    EXPECT_TRUE(quiet.expired());
    EXPECT_FALSE(user->GetChannel());
}

TEST(ChannelTree, OperatorsAndUserLookup) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t a = AddChild(root, "a");
    serverchannel_t deep = AddChild(a, "deep");
    auto user = MakeLoggedInUser(9);
    deep->AddUser(9, user);
    EXPECT_FALSE(a->GetUser(9, false));
    EXPECT_EQ(user, a->GetUser(9, true));
    EXPECT_FALSE(a->UserExists(9));
    EXPECT_TRUE(deep->UserExists(9));

    a->AddOperator(5);
    deep->AddOperator(5);
    a->RemoveOperator(5, true);
    EXPECT_FALSE(a->IsOperator(5));
    EXPECT_FALSE(deep->IsOperator(5));
    a->SetOperators(a->GetOperators());
    EXPECT_TRUE(a->GetOperators().empty());
}

TEST(ChannelFiles, NamesAreExactAndQuotaIncludesOnlyOwnFiles) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t music = AddChild(root, "music");
    music->SetMaxDiskUsage(1000);
    music->AddFile(MakeFile("Song.mp3", 600));
    EXPECT_TRUE(music->FileExists("Song.mp3"));
    EXPECT_FALSE(music->FileExists("song.mp3"));
    EXPECT_TRUE(music->CanAddFile(400));
    EXPECT_FALSE(music->CanAddFile(401));

    // A sub-channel's files do not count against its parent.
    serverchannel_t sub = AddChild(music, "sub");
    sub->AddFile(MakeFile("big", 5000));
    EXPECT_TRUE(music->CanAddFile(400));

    // Sizes near the 64-bit limit refuse instead of wrapping around.
    root->SetMaxDiskUsage(INT64_MAX);
    root->AddFile(MakeFile("huge", INT64_MAX - 10));
    EXPECT_FALSE(root->CanAddFile(100));

    ServerChannel empty("e");
    EXPECT_TRUE(empty.CanAddFile(0));
    EXPECT_FALSE(empty.CanAddFile(1));

    ChannelFile found;
    music->GetFileByID(0, found, false);
    EXPECT_EQ("Song.mp3", found.filename);
    music->RemoveFile("Song.mp3");
    EXPECT_FALSE(music->FileExists("Song.mp3"));
}

TEST(ServerChannelNotify, AddUserTellsNewcomerAboutAllAndOthersAboutNewcomer) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t lobby = AddChild(root, "lobby");
    auto u3 = MakeLoggedInUser(3), u5 = MakeLoggedInUser(5), u7 = MakeLoggedInUser(7);
    for (auto& u : {u3, u7}) {
        u->SetChannel(lobby);
        lobby->AddUser(u->GetUserID(), u);
    }
    u5->SetChannel(lobby);
    lobby->AddUserAndNotify(5, u5);

    ASSERT_EQ(3u, u5->lines.size());
    EXPECT_EQ(0u, u5->lines[0].find("adduser userid=3 "));
    EXPECT_EQ(0u, u5->lines[1].find("adduser userid=5 "));
    EXPECT_EQ(0u, u5->lines[2].find("adduser userid=7 "));
    ASSERT_EQ(1u, u3->lines.size());
    EXPECT_EQ(0u, u3->lines[0].find("adduser userid=5 "));
    ASSERT_EQ(1u, u7->lines.size());

    // A user outside any channel is never described; one not logged in hears nothing.
    u7->lines.clear();
    u7->SetLoggedIn(false);
    lobby->NotifyUserUpdate(u3);
    EXPECT_TRUE(u7->lines.empty());
    EXPECT_EQ(0u, u5->lines.back().find("updateuser userid=3 "));

    u3->lines.clear();
    u5->lines.clear();
    lobby->RemoveUser(5);
    EXPECT_TRUE(u5->lines.empty());
    ASSERT_EQ(1u, u3->lines.size());
    EXPECT_EQ("removeuser userid=5 channel=\"/lobby/\"\r\n", u3->lines[0]);
    EXPECT_FALSE(lobby->UserExists(5));
}

TEST(ServerChannelReset, ClearSettingsKeepsMembersOperatorsFilesAndQuota) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    serverchannel_t lobby = AddChild(root, "lobby");
    AddChild(lobby, "sub");
    lobby->SetTopic("t");
    lobby->SetPassword("p");
    lobby->SetStaticChannel(true);
    lobby->AddOperator(4);
    lobby->AddFile(MakeFile("f", 1));
    lobby->SetMaxDiskUsage(77);
    lobby->AddUser(2, MakeLoggedInUser(2));

    EXPECT_TRUE(lobby->IsPasswordProtected());
    lobby->ClearSettings();
    EXPECT_EQ("", lobby->GetName());
    EXPECT_EQ("", lobby->GetTopic());
    EXPECT_EQ("", lobby->GetPassword());
    EXPECT_FALSE(lobby->IsStaticChannel());
    EXPECT_FALSE(lobby->IsPasswordProtected());
    EXPECT_EQ(1, lobby->GetUsersCount());
    EXPECT_EQ(1, lobby->GetSubChannelsCount());
    EXPECT_TRUE(lobby->IsOperator(4));
    EXPECT_EQ(1u, lobby->GetFiles().size());
    EXPECT_EQ(77, lobby->GetMaxDiskUsage());
}

// A tree far deeper than any stack could recurse through is detached and released.
TEST(ServerChannelReset, DetachTreeUntiesADeepTreeWithoutRecursion) {
    serverchannel_t root = std::make_shared<ServerChannel>();
    const std::shared_ptr<RecordingUser> member = MakeLoggedInUser(7);
    serverchannel_t channel = root;
    for (int i = 0; i < 200000; ++i) channel = AddChild(channel, "c");
    const std::weak_ptr<ServerChannel> deepest = channel;
    channel->AddUser(7, member);
    member->SetChannel(channel);
    channel->AddOperator(7);
    channel.reset();

    root->DetachTree();
    EXPECT_EQ(0, root->GetSubChannelsCount());
    EXPECT_TRUE(deepest.expired());
    EXPECT_FALSE(member->GetChannel());
}

// A listing holds the lines of the tree as they were: listings taken while the tree does
// not change share one snapshot, a change makes new lines for what it changed only, and a
// replaced line that a listing still holds counts as retained until the listing goes.
TEST(ServerChannelListing, ListingsShareTheLinesOfTheTreeAsItWas) {
    using quorvane::server::Listing;
    using quorvane::server::ListingLine;
    ACE_Reactor reactor(new ACE_Select_Reactor, true);
    quorvane::server::ServerNode node(&reactor, &reactor, 0, false);
    ASSERT_EQ(0, node.Channels().UserMakeChannel("/a/", "", "first", true, 0));
    ASSERT_EQ(0, node.Channels().UserMakeChannel("/b/", "pw", "", true, 0));
    const long long retained = ListingLine::RetainedBytesOfAll();
    std::unique_ptr<Listing> first(new Listing(node.Tree().ChannelLines(false)));
    std::unique_ptr<Listing> second(new Listing(node.Tree().ChannelLines(false)));
    EXPECT_EQ(&first->GetLines(), &second->GetLines());
    EXPECT_GT(first->Footprint(), second->Footprint());  // the shared list counts once

    node.Channels().UserUpdateChannel("/a/", "", "second", true, 0);
    std::unique_ptr<Listing> third(new Listing(node.Tree().ChannelLines(false)));
    ASSERT_EQ(3u, third->GetLines().size());
    EXPECT_EQ(first->GetLines()[0], third->GetLines()[0]);
    EXPECT_NE(first->GetLines()[1], third->GetLines()[1]);
    EXPECT_EQ(first->GetLines()[2], third->GetLines()[2]);
    EXPECT_EQ(retained + static_cast<long long>(first->GetLines()[1]->Size()), ListingLine::RetainedBytesOfAll());

    const auto text = [](Listing& listing) {
        ACE_Message_Block *head = 0, *last = 0;
        EXPECT_TRUE(listing.Produce(1 << 20, head, last));
        std::string out;
        while (ACE_Message_Block* const block = head) {
            out.append(block->rd_ptr(), block->length());
            head = block->next();
            block->release();
        }
        return out;
    };
    const std::string before =
        "addchannel channel=\"/\" protected=0 topic=\"\" operators=[] usercount=0 diskquota=0\r\n"
        "addchannel channel=\"/a/\" protected=0 topic=\"first\" operators=[] usercount=0 "
        "diskquota=0\r\naddchannel channel=\"/b/\" protected=1 topic=\"\" operators=[] "
        "usercount=0 diskquota=0\r\n";
    EXPECT_EQ(before, text(*first));
    EXPECT_EQ(std::string::npos, text(*third).find("first"));
    first.reset();
    second.reset();
    EXPECT_EQ(retained, ListingLine::RetainedBytesOfAll());
}
