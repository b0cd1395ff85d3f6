// The server node in-process: real loopback sockets, both reactors on their own
// threads, a shortened keep-alive timer.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <gtest/gtest.h>

#include "RecordingUser.h"
#include "TestClient.h"
#include "network/ReactorThread.h"
#include "server/ServerNode.h"

using namespace testing_support;
using quorvane::server::serverchannel_t;
using quorvane::server::ServerNode;
using quorvane::server::ServerNodeListener;
using quorvane::server::serveruser_t;

namespace {

const std::string ACK("\x02\x05\x06\x00\x00\x00", 6);
const BindAddress LOOPBACK_BIND = BindAddress::One(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1"));

// Records what the node reports; may kick a user from inside its own join.
class TestListener : public ServerNodeListener {
public:
    void OnUserConnected(const serveruser_t& user, const ACE_INET_Addr&) override { Record("connected", user); }
    void OnUserLoggedIn(const serveruser_t& user) override { Record("loggedin", user); }
    void OnUserDropped(const serveruser_t& user) override { ++dropped; }
    void OnUserDisconnected(const serveruser_t& user) override {
        ++disconnected;
        Record("disconnected", user);
    }
    void OnUserJoinedChannel(const serveruser_t& user, const serverchannel_t& channel) override {
        Record("joined", user, channel->GetChannelPath());
        if (kickOnJoin && node) node->Sessions().UserKick(user->GetUserID());
    }
    void OnUserTextMessage(const serveruser_t& sender, const serveruser_t& receiver,
                           const quorvane::server::TextMessage& message) override {
        Record("usermessage", sender, std::to_string(receiver->GetUserID()) + " " + message.content);
    }
    void OnChannelTextMessage(const serveruser_t& sender, const serverchannel_t& channel,
                              const quorvane::server::TextMessage& message) override {
        Record("channelmessage", sender, channel->GetChannelPath() + " " + message.content);
    }
    void OnChannelCreated(const serverchannel_t& channel) override { Record("created", 0, channel->GetChannelPath()); }
    void OnChannelUpdated(const serverchannel_t& channel) override { Record("updated", 0, channel->GetChannelPath()); }
    void OnChannelRemoved(const serverchannel_t& channel) override { Record("removed", 0, channel->GetChannelPath()); }
    void OnSaveConfiguration(ServerNode&) override { Record("save", 0); }
    void OnFileUploaded(const serveruser_t& user, const serverchannel_t& channel,
                        const quorvane::ChannelFile& file) override {
        Record("uploaded", user, channel->GetChannelPath() + " " + file.filename);
    }
    void OnFileDownloaded(const serveruser_t& user, const serverchannel_t& channel,
                          const quorvane::ChannelFile& file) override {
        Record("downloaded", user, channel->GetChannelPath() + " " + file.filename);
    }
    void OnFileDeleted(const serveruser_t& user, const serverchannel_t& channel,
                       const quorvane::ChannelFile& file) override {
        Record("deleted", user, channel->GetChannelPath() + " " + file.filename);
    }
    void OnFileAdded(const serverchannel_t& channel, const quorvane::ChannelFile& file) override {
        Record("fileadded", 0, channel->GetChannelPath() + " " + file.filename);
    }
    void OnFileRemoved(const serverchannel_t& channel, const quorvane::ChannelFile& file) override {
        Record("fileremoved", 0, channel->GetChannelPath() + " " + file.filename);
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(mutex);
        return events;
    }

    void Record(const std::string& what, const serveruser_t& user, const std::string& detail = "") {
        Record(what, user->GetUserID(), detail);
    }
    void Record(const std::string& what, int id, const std::string& detail = "") {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(what + (id ? " " + std::to_string(id) : "") + (detail.empty() ? "" : " " + detail));
    }

    std::mutex mutex;
    std::vector<std::string> events;
    std::atomic<int> dropped{0};
    std::atomic<int> disconnected{0};
    bool kickOnJoin = false;
    ServerNode* node = 0;
};

struct Client {
    LineClient tcp;
    VoiceClient udp;
    int id = 0;
};

class ServerNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        mainReactor_.reset(new ACE_Reactor(new ACE_Dev_Poll_Reactor(1024), true));
        voiceReactor_.reset(new ACE_Reactor(new ACE_Select_Reactor, true));
        node_.reset(new ServerNode(mainReactor_.get(), voiceReactor_.get(), &listener_, false));
        listener_.node = node_.get();
    }

    void Start() {
        tcpPort_ = FreePort(SOCK_STREAM);
        udpPort_ = FreePort(SOCK_DGRAM);
        ASSERT_TRUE(node_->StartServer(tcpPort_, udpPort_, LOOPBACK_BIND));
        mainThread_ = std::thread([this] { ReactorThread::RunLoop(mainReactor_.get()); });
        voiceThread_ = std::thread([this] { ReactorThread::RunLoop(voiceReactor_.get()); });
        // Until the loop runs, work handed to it would run here, racing its start.
        ASSERT_TRUE(WaitFor([this] { return ReactorThread::LoopRunsElsewhere(mainReactor_.get()); }, 5000));
    }

    void TearDown() override {
        node_->StopServer();  // from this thread: handed to the main loop
        EXPECT_FALSE(node_->IsStarted());
        mainReactor_->end_reactor_event_loop();
        voiceReactor_->end_reactor_event_loop();
        if (mainThread_.joinable()) mainThread_.join();
        if (voiceThread_.joinable()) voiceThread_.join();
        node_.reset();
    }

    // Runs f on the main loop's thread, where the node's state lives, and answers its result.
    template <class F>
    auto OnLoop(F f) -> decltype(f()) {
        decltype(f()) result{};
        ReactorThread::RunOnLoop(mainReactor_.get(), [&] { result = f(); });
        return result;
    }

    std::unique_ptr<Client> Connect() {
        std::unique_ptr<Client> client(new Client);
        EXPECT_TRUE(client->tcp.Connect(tcpPort_));
        const std::string welcome = client->tcp.Expect("welcome");
        EXPECT_FALSE(welcome.empty());
        client->id = IntParam(welcome, "userid");
        return client;
    }

    void Hello(Client& client) {
        ASSERT_TRUE(client.udp.SendTo(udpPort_, HelloPacketBytes(client.id)));
        std::string answer;
        ASSERT_TRUE(client.udp.Receive(answer));
        EXPECT_EQ(ACK, answer);
    }

    // Whether the server sent the client nothing before answering a keep-alive from it:
    // it handles datagrams in order, so what earlier ones made it send comes first.
    bool Silent(Client& client) {
        EXPECT_TRUE(client.udp.SendTo(udpPort_, HeaderPacketBytes(3, client.id)));
        std::string got;
        EXPECT_TRUE(client.udp.Receive(got)) << "the keep-alive was not answered";
        return got.size() == 6 && got[0] == 6;
    }

    std::unique_ptr<Client> LoggedIn(const std::string& nickname) {
        std::unique_ptr<Client> client = Connect();
        Hello(*client);
        client->tcp.Send("login protocol=\"3.4\" nickname=\"" + nickname +
                         "\" serverpassword=\"\" bandmode=1 framesize=320 encodedframesize=40 fpp=2 version=\"t\"\r\n");
        EXPECT_FALSE(client->tcp.Expect("accepted").empty());
        EXPECT_FALSE(client->tcp.Expect("done").empty());
        return client;
    }

    void Join(Client& client, const std::string& path) {
        client.tcp.Send("join channel=\"" + path + "\"\r\n");
        EXPECT_FALSE(client.tcp.Expect("done").empty());
    }

    // Registers an upload of the size in /f/ and begins it on a new data connection.
    std::unique_ptr<Client> BeginUpload(Client& owner, size_t size, int* transferId = 0) {
        owner.tcp.Send("regsendfile channel=\"/f/\" filename=\"big\" filesize=" + std::to_string(size) + "\r\n");
        const int upload = IntParam(owner.tcp.Expect("fileaccepted"), "transferid");
        if (transferId) *transferId = upload;
        std::unique_ptr<Client> data = Connect();
        data->tcp.Send("sendfile transferid=" + std::to_string(upload) + "\r\n");
        EXPECT_FALSE(data->tcp.Expect("filedeliver").empty());
        return data;
    }

    TestListener listener_;
    std::unique_ptr<ACE_Reactor> mainReactor_;
    std::unique_ptr<ACE_Reactor> voiceReactor_;
    std::unique_ptr<ServerNode> node_;
    std::thread mainThread_, voiceThread_;
    int tcpPort_ = 0, udpPort_ = 0;
};

TEST_F(ServerNodeTest, UserIdsCountUpAndWrapOnlyPastTheLastId) {
    Start();
    std::unique_ptr<Client> a = Connect(), b = Connect(), c = Connect();
    EXPECT_EQ(1, a->id);
    EXPECT_EQ(2, b->id);
    EXPECT_EQ(3, c->id);
    b->tcp.Close();
    ASSERT_TRUE(WaitFor([&] { return OnLoop([&] { return !node_->Users().GetUser(2); }); }, 5000));
    EXPECT_EQ(4, Connect()->id);

    // The counter runs to 32766, then starts over skipping ids in use.
    ACE_Reactor freshReactor(new ACE_Select_Reactor, true);  // no loop runs it
    ServerNode fresh(&freshReactor, &freshReactor, 0, false);
    int last = 0;
    for (int i = 0; i < ServerNode::MAX_USER_ID; ++i) last = fresh.Users().GetNewUserID();
    EXPECT_EQ(ServerNode::MAX_USER_ID, last);
    EXPECT_EQ(2, fresh.Users().GetNewUserID());
}

TEST_F(ServerNodeTest, StartRefusesPortZeroAndASecondStart) {
    EXPECT_FALSE(node_->StartServer(0, 1234, LOOPBACK_BIND));
    Start();
    EXPECT_FALSE(OnLoop([&] { return node_->StartServer(tcpPort_, udpPort_, LOOPBACK_BIND); }));
}

TEST_F(ServerNodeTest, RelaysAudioToTheOtherMembersOnly) {
    Start();
    std::unique_ptr<Client> talker = LoggedIn("talker"), one = LoggedIn("one"), two = LoggedIn("two"),
                            outside = LoggedIn("outside");
    Join(*talker, "/room/");
    Join(*one, "/room/");
    Join(*two, "/room/");

    // 40-byte datagram whose length field says 32: relayed as 32 bytes, type 4.
    const std::string audio = AudioPacketBytes(5, talker->id, 0, 32, 40);
    ASSERT_TRUE(talker->udp.SendTo(udpPort_, audio));
    std::string expected = audio.substr(0, 32);
    expected[0] = 4;
    for (Client* listener : {one.get(), two.get()}) {
        std::string got;
        ASSERT_TRUE(listener->udp.Receive(got));
        EXPECT_EQ(expected, got);
    }
    EXPECT_TRUE(Silent(*talker));
    EXPECT_TRUE(Silent(*outside));
    EXPECT_EQ(64u, node_->Statistics().GetVoiceTxBytes());
    EXPECT_EQ(40u, node_->Statistics().GetVoiceRxBytes());

    // A named destination reaches that user even outside the channel; enciphered
    // audio keeps its bytes and becomes type 7.
    const std::string crypt = AudioPacketBytes(8, talker->id, outside->id, 20);
    ASSERT_TRUE(talker->udp.SendTo(udpPort_, crypt));
    std::string got;
    ASSERT_TRUE(outside->udp.Receive(got));
    EXPECT_EQ(7, got[0]);
    EXPECT_EQ(crypt.substr(1), got.substr(1));
    EXPECT_TRUE(Silent(*one));

    // A length field beyond the datagram, or an unknown sender: dropped, still counted.
    ASSERT_TRUE(talker->udp.SendTo(udpPort_, AudioPacketBytes(5, talker->id, 0, 48, 40)));
    ASSERT_TRUE(talker->udp.SendTo(udpPort_, AudioPacketBytes(5, 999, 0, 20)));
    ASSERT_TRUE(WaitFor([this] { return node_->Statistics().GetVoiceRxBytes() == 40u + 20 + 40 + 20; }, 5000));
    EXPECT_TRUE(Silent(*one));
}

TEST_F(ServerNodeTest, KeepAliveIsAnsweredWithTheHeaderOnly) {
    Start();
    std::unique_ptr<Client> client = Connect();
    Hello(*client);
    // A keep-alive whose length field claims more than the header gets 6 bytes back.
    std::string keepAlive("\x03\x03\x40\x00", 4);
    keepAlive += static_cast<char>(client->id);
    keepAlive += '\0';
    keepAlive += std::string(58, 'x');
    ASSERT_TRUE(client->udp.SendTo(udpPort_, keepAlive));
    std::string answer;
    ASSERT_TRUE(client->udp.Receive(answer));
    EXPECT_EQ(std::string("\x06\x05\x40\x00\x00\x00", 6), answer);
    // A hello for nobody gets no answer.
    ASSERT_TRUE(client->udp.SendTo(udpPort_, HelloPacketBytes(4321)));
    EXPECT_TRUE(Silent(*client));
}

TEST_F(ServerNodeTest, SilentUsersAreDroppedAndPingingUsersStay) {
    node_->SetTimerInterval(ACE_Time_Value(0, 10000));
    Start();
    std::unique_ptr<Client> silent = Connect();
    std::unique_ptr<Client> pinging = Connect();
    // Seven ticks of silence drop a connection; pings keep the other one.
    const bool dropped = WaitFor(
        [&] {
            pinging->tcp.Send("ping\r\n");
            return OnLoop([&] { return !node_->Users().GetUser(silent->id); });
        },
        10000);
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(silent->tcp.WaitClosed());
    EXPECT_EQ(1, listener_.dropped.load());
    EXPECT_TRUE(OnLoop([&] { return !!node_->Users().GetUser(pinging->id); }));
}

TEST_F(ServerNodeTest, AUserKickedInsideItsOwnCommandIsClosedAfterIt) {
    Start();
    std::unique_ptr<Client> client = LoggedIn("self");
    listener_.kickOnJoin = true;
    // The kick lands while the join still runs on this connection's own read: the
    // close waits until the read is handled, and nothing runs on freed memory.
    client->tcp.Send("join channel=\"/gone/\"\r\nping\r\n");
    EXPECT_TRUE(client->tcp.WaitClosed());
    ASSERT_TRUE(WaitFor([this] { return listener_.disconnected.load() == 1; }, 5000));
    EXPECT_FALSE(OnLoop([&] { return !!node_->Channels().FindChannel("/gone/"); }));
}

TEST_F(ServerNodeTest, OperatorsKickMembersButNotThemselves) {
    Start();
    std::unique_ptr<Client> op = LoggedIn("op"), member = LoggedIn("member");
    Join(*op, "/ops/");
    Join(*member, "/ops/");
    op->tcp.Send("kick userid=" + std::to_string(op->id) + "\r\n");
    EXPECT_EQ("error number=311 message=\"No such user\"", op->tcp.Expect("error"));
    member->tcp.Send("kick userid=" + std::to_string(op->id) + "\r\n");
    EXPECT_EQ("error number=203 message=\"Command requires operator rights\"", member->tcp.Expect("error"));
    op->tcp.Send("kick userid=" + std::to_string(member->id) + "\r\n");
    EXPECT_TRUE(member->tcp.WaitClosed());
    const std::string removed = op->tcp.Expect("removeuser");
    EXPECT_EQ(member->id, IntParam(removed, "userid"));
}

TEST_F(ServerNodeTest, StopDisconnectsEveryoneAndResetsStatistics) {
    Start();
    std::unique_ptr<Client> a = LoggedIn("a"), b = LoggedIn("b");
    Join(*a, "/x/");
    EXPECT_EQ(2, node_->Statistics().GetUsersServed());
    EXPECT_EQ(2, node_->Statistics().GetUsersPeak());
    EXPECT_TRUE(node_->StopServer());
    EXPECT_FALSE(node_->StopServer());
    EXPECT_TRUE(a->tcp.WaitClosed());
    EXPECT_TRUE(b->tcp.WaitClosed());
    EXPECT_EQ(0, node_->Statistics().GetUsersServed());
    EXPECT_EQ(0, node_->Statistics().GetUsersPeak());
    EXPECT_FALSE(OnLoop([&] { return !!node_->Users().GetUser(a->id); }));
    // The emptied channel went with its last user; the root stays.
    EXPECT_FALSE(OnLoop([&] { return !!node_->Channels().FindChannel("/x/"); }));
    EXPECT_TRUE(OnLoop([&] { return !!node_->Channels().GetRootChannel(); }));
    // And the node starts again.
    ASSERT_TRUE(OnLoop([&] { return node_->StartServer(tcpPort_, udpPort_, LOOPBACK_BIND); }));
    EXPECT_GT(Connect()->id, 0);
}

// Every listener event of a scripted session, in order and with its arguments.
TEST_F(ServerNodeTest, ListenerHearsEveryEventInOrder) {
    node_->Admin().SetAdminAccount("Admin", "pw");
    Start();
    std::unique_ptr<Client> ann = LoggedIn("ann"), bob = LoggedIn("bob");
    Join(*ann, "/a/");
    Join(*bob, "/a/");
    ann->tcp.Send(
        "message type=1 to=2 channel=\"\" content=\"hi\"\r\n"
        "message type=2 channel=\"\" content=\"all\"\r\n"
        "message type=2 channel=\"\" content=\"/stats\"\r\n");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(ann->tcp.Expect("ok").empty());

    std::unique_ptr<Client> admin = Connect();
    admin->tcp.Send(
        "admin username=\"admin\" password=\"pw\"\r\n"
        "makechannel channel=\"/s/\"\r\n"
        "updatechannel channel=\"/s/\" password=\"\" topic=\"t\" static=1\r\n"
        "saveconfig\r\n"
        "removechannel channel=\"/s/\"\r\n"
        "ban userid=1\r\n"
        "kick userid=2\r\n");
    EXPECT_FALSE(admin->tcp.Expect("ok").empty());  // the administrator login
    EXPECT_FALSE(admin->tcp.Expect("ok").empty());  // the save
    EXPECT_FALSE(admin->tcp.Expect("ok").empty());  // the ban
    EXPECT_TRUE(bob->tcp.WaitClosed());
    ASSERT_TRUE(WaitFor([this] { return listener_.disconnected.load() == 1; }, 5000));

    const std::vector<std::string> expected = {"created /",
                                               "connected 1",
                                               "loggedin 1",
                                               "connected 2",
                                               "loggedin 2",
                                               "created /a/",
                                               "joined 1 /a/",
                                               "joined 2 /a/",
                                               "usermessage 1 2 hi",
                                               "channelmessage 1 /a/ all",
                                               "channelmessage 1 /a/ /stats",
                                               "connected 3",
                                               "created /s/",
                                               "updated /s/",
                                               "save",
                                               "removed /s/",
                                               "disconnected 2"};
    EXPECT_EQ(expected, listener_.Events());
    EXPECT_TRUE(OnLoop([&] { return node_->Bans().IsBanned("127.0.0.1"); }));
}

// A temporary files root for a node test; removed at the end, which fails when files
// were left in it.
class FilesRoot {
public:
    FilesRoot() {
        char pattern[] = "/tmp/quorvane-files-XXXXXX";
        if (mkdtemp(pattern)) path = pattern;
    }
    ~FilesRoot() { EXPECT_EQ(rmdir(path.c_str()), 0) << "files were left in the files root"; }
    std::string path;
};

// The files root and the file events: a download is reported once, when its last byte
// is queued.
TEST_F(ServerNodeTest, FileTransfersReportTheirEvents) {
    FilesRoot root;
    EXPECT_FALSE(node_->Files().SetFilesRoot(root.path + "/missing"));
    ASSERT_TRUE(node_->Files().SetFilesRoot(root.path + "//"));
    EXPECT_EQ(root.path, node_->Files().GetFilesRoot());
    node_->Properties().SetChannelDiskQuota(1 << 20);
    Start();
    EXPECT_FALSE(OnLoop([&] { return node_->Files().SetFilesRoot("/tmp"); }));  // not while started

    std::unique_ptr<Client> ann = LoggedIn("ann");
    Join(*ann, "/f/");
    const std::string content(300 * 1024 + 7, 'q');
    std::unique_ptr<Client> data = BeginUpload(*ann, content.size());
    data->tcp.Send(content);
    ASSERT_FALSE(data->tcp.Expect("filecompleted").empty());

    ann->tcp.Send("regrecvfile channel=\"/f/\" filename=\"big\"\r\n");
    const int download = IntParam(ann->tcp.Expect("fileaccepted"), "transferid");
    std::unique_ptr<Client> reader = Connect();
    reader->tcp.Send("recvfile transferid=" + std::to_string(download) + "\r\n");
    ASSERT_FALSE(reader->tcp.Expect("fileready").empty());
    reader->tcp.Send("filedeliver\r\n");
    std::string received;
    ASSERT_TRUE(reader->tcp.ReadBytes(content.size(), received));
    EXPECT_TRUE(received == content);
    // More drained output after the end reports nothing more.
    reader->tcp.Send("ping\r\n");
    EXPECT_FALSE(reader->tcp.Expect("pong").empty());
    // Transfers named one after another on one connection all end with it.
    std::vector<int> ids;
    std::unique_ptr<Client> again = Connect();
    for (int i = 0; i < 2; ++i) {
        ann->tcp.Send("regrecvfile channel=\"/f/\" filename=\"big\"\r\n");
        ids.push_back(IntParam(ann->tcp.Expect("fileaccepted"), "transferid"));
        again->tcp.Send("recvfile transferid=" + std::to_string(ids.back()) + "\r\n");
        ASSERT_FALSE(again->tcp.Expect("fileready").empty());
    }
    again->tcp.Close();
    quorvane::server::FileTransfer transfer;
    EXPECT_TRUE(WaitFor(
        [&] {
            return OnLoop([&] {
                return !node_->Transfers().GetTransfer(ids[0], transfer) &&
                       !node_->Transfers().GetTransfer(ids[1], transfer);
            });
        },
        5000));
    ann->tcp.Send("deletefile filename=\"big\" channel=\"/f/\"\r\nping\r\n");
    EXPECT_FALSE(ann->tcp.Expect("pong").empty());

    std::vector<std::string> fileEvents;
    for (const std::string& event : listener_.Events())
        if (event.find("file") != std::string::npos || event.find("loaded") != std::string::npos ||
            event.find("deleted") != std::string::npos)
            fileEvents.push_back(event);
    const std::vector<std::string> expected = {"fileadded /f/ big", "uploaded 1 /f/ big", "downloaded 1 /f/ big",
                                               "fileremoved /f/ big", "deleted 1 /f/ big"};
    EXPECT_EQ(expected, fileEvents);
}

// A silent data connection outlives the inactivity limit while its upload runs; an
// upload that ends early, either way, leaves nothing in the transfer table.
TEST_F(ServerNodeTest, ARunningTransferKeepsItsConnection) {
    FilesRoot root;
    ASSERT_TRUE(node_->Files().SetFilesRoot(root.path));
    node_->Properties().SetChannelDiskQuota(1 << 20);
    node_->SetTimerInterval(ACE_Time_Value(0, 10000));
    Start();
    std::unique_ptr<Client> ann = LoggedIn("ann");
    Join(*ann, "/f/");
    int first = 0, second = 0;
    std::unique_ptr<Client> data = BeginUpload(*ann, 2000, &first);
    data->tcp.Send(std::string(1000, 'x'));
    std::unique_ptr<Client> idle = Connect();
    EXPECT_TRUE(WaitFor(
        [&] {
            ann->tcp.Send("ping\r\n");
            return OnLoop([&] { return !node_->Users().GetUser(idle->id); });
        },
        10000));
    EXPECT_TRUE(OnLoop([&] { return !!node_->Users().GetUser(data->id); }));
    data->tcp.Send(std::string(1001, 'x'));  // one byte too many
    EXPECT_TRUE(data->tcp.WaitClosed());
    std::unique_ptr<Client> other = BeginUpload(*ann, 2000, &second);
    other->tcp.Close();
    quorvane::server::FileTransfer transfer;
    EXPECT_TRUE(WaitFor(
        [&] {
            return OnLoop([&] {
                return !node_->Transfers().GetTransfer(first, transfer) &&
                       !node_->Transfers().GetTransfer(second, transfer);
            });
        },
        5000));
}

// A line that finds the output full makes its user lagging, once: logged out, reported,
// and it hears nothing more; a line queued has the output bound checked.
TEST(ServerUserSend, AFullOutputMakesTheUserLaggingOnce) {
    FakeUserLinks fakes;
    RecordingUser user(5, fakes.links);
    user.SetLoggedIn(true);
    user.SetAdmin(true);
    user.SendLine("pong\r\n");
    EXPECT_EQ(1, fakes.queued);
    user.failSends = true;
    user.SendLine("pong\r\n");
    user.failSends = false;
    user.SendLine("pong\r\n");
    EXPECT_FALSE(user.IsLoggedIn());
    EXPECT_FALSE(user.IsAdmin());
    EXPECT_TRUE(user.IsLagging());
    EXPECT_EQ(fakes.lagging, std::vector<int>{5});
    EXPECT_EQ(1u, user.lines.size());
    EXPECT_EQ(1, fakes.queued);
    EXPECT_EQ(0, fakes.statistics.Get(quorvane::server::ServerStatistics::USERS));
}

}  // namespace
