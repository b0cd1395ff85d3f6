// File sharing through the real server: registration against quotas, uploads and
// downloads on a second connection, names, deletion rights, transfers used from another
// host, uploads cut short or refused by the disk, and a download to a slow reader.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "FileSharingFixture.h"

namespace quorvane {
namespace test {
namespace {

TEST_F(FileSharingTest, UploadAndDownloadAreByteIdentical) {
    StartSharing(64LL * MIB);
    TestUser ann, bob;
    Enter(ann, "ann", "/share/");
    Enter(bob, "bob", "/share/");

    struct Case {
        const char* name;
        std::string bytes;
        bool together;  // the first bytes ride with the "sendfile" line
    } cases[] = {
        {"empty.txt", "", false},
        {"few.txt", "hello\r\nworld\n", false},
        {"eager.txt", "bytes right behind the command", true},
        {"big.bin", RandomBytes(5 * MIB + 123, 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Upload(ann, "/share/", c.name, c.bytes, c.together));
        const std::string added = "addfile filename=\"" + std::string(c.name) +
                                  "\" filesize=" + std::to_string(c.bytes.size()) + " channel=\"/share/\"";
        EXPECT_EQ(Answer(ann.tcp), added);
        EXPECT_EQ(Answer(bob.tcp), added);
        EXPECT_TRUE(Download(bob, "/share/", c.name) == c.bytes);
    }
    EXPECT_EQ(Stored("data_").size(), 4u);
    EXPECT_TRUE(Stored("tmp_").empty());
    // A late joiner is told of every file.
    TestUser cid;
    ASSERT_TRUE(ConnectAndLogin(cid, "cid"));
    cid.tcp.Send("join channel=\"/share/\"\r\n");
    std::vector<std::string> lines;
    cid.tcp.Expect("done", DEFAULT_TIMEOUT_MS, &lines);
    int files = 0;
    for (const std::string& line : lines) files += CommandWord(line) == "addfile";
    EXPECT_EQ(files, 4);
}

// The file data moves between socket and file inside the kernel, in pieces of 64 KiB and
// turns of 256 KiB: sizes around those bounds arrive whole, and a download named in the
// same write as its "recvfile" still follows the "fileready" line.
TEST_F(FileSharingTest, SizesAroundTheTransferPiecesArriveWhole) {
    StartSharing(64LL * MIB);
    TestUser ann;
    Enter(ann, "ann", "/sizes/");
    const size_t CHUNK = 64 * KIB, TURN = 256 * KIB;
    const size_t sizes[] = {0, 1, CHUNK - 1, CHUNK + 1, TURN + 1, 3 * MIB + 7};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size);
        const std::string content = RandomBytes(size, static_cast<unsigned>(size));
        ASSERT_TRUE(Upload(ann, "/sizes/", name, content, size % 2 == 1));
        Answer(ann.tcp);  // addfile
        EXPECT_TRUE(Download(ann, "/sizes/", name) == content);

        const int id = Register(ann, "regrecvfile", "/sizes/", name);
        ASSERT_GT(id, 0);
        LineClient data;
        ASSERT_TRUE(data.Connect(tcpPort_, DEFAULT_TIMEOUT_MS));
        EXPECT_EQ(CommandWord(NextLine(data)), "welcome");
        data.Send("recvfile transferid=" + std::to_string(id) + "\r\nfiledeliver\r\n");
        EXPECT_EQ(NextLine(data), "fileready transferid=" + std::to_string(id) + " filesize=" + std::to_string(size));
        std::string bytes;
        EXPECT_TRUE(data.ReadBytes(size, bytes, DEFAULT_TIMEOUT_MS * 3));
        EXPECT_TRUE(bytes == content);
    }
}

TEST_F(FileSharingTest, RegistrationAgainstQuotaAndSizes) {
    ServerConfig config;
    config.staticChannels =
        "<channel><name>small</name><password></password><topic></topic><diskquota>1000</diskquota></channel>"
        "<channel><name>huge</name><password></password><topic></topic>"
        "<diskquota>10000000000</diskquota></channel>";
    StartSharing(0, config);
    TestUser ann;
    Enter(ann, "ann", "/small/");
    ASSERT_TRUE(Upload(ann, "/small/", "a", std::string(600, 'a')));

    const int ACCEPTED = 1;
    struct Case {
        const char* channel;
        const char* size;  // null: no filesize parameter
        int expected;      // ACCEPTED: an id; < 0: minus the error
    } cases[] = {
        {"/small/", "401", -209},      // one byte more than the quota leaves
        {"/small/", "400", ACCEPTED},  // exactly what is left
        {"/small/", "1", -209},        // the registered upload counts already
        {"/small/", "-1", -2023},      // negative like missing
        {"/small/", nullptr, -2023},
        {"/small/", "abc", -2023},                  // not a number
        {"/small/", "9223372036854775808", -2023},  // past 64 bits
        {"/nowhere/", "1", -312},
        {"/small/", "0", ACCEPTED},
        {"/huge/", "3221225472", ACCEPTED},
    };
    int huge = 0;
    for (const Case& c : cases) {
        const std::string size = c.size ? c.size : "";
        SCOPED_TRACE(std::string(c.channel) + " " + size);
        const int answer = Register(ann, "regsendfile", c.channel, "x" + size, size);
        EXPECT_EQ(answer > 0 ? ACCEPTED : answer, c.expected);
        if (c.expected == ACCEPTED) huge = answer;
    }
    // Sizes past 2 GiB travel as 64-bit numbers.
    LineClient data;
    EXPECT_EQ(Begin(data, "sendfile", huge), "filedeliver filesize=3221225472 filename=\"x3221225472\"");
    // The administrator is exempt from quotas.
    TestUser admin;
    LoginAdmin(admin);
    EXPECT_GT(Register(admin, "regsendfile", "/small/", "big", "5000"), 0);
}

// Files are bounded in number, per channel and in all, whatever their size: a channel's
// files and the uploads registered for it count, a file of 0 bytes too, the administrator's
// too; a deletion makes room again.
TEST_F(FileSharingTest, FilesAreBoundedInNumber) {
    ServerConfig config;
    config.maxFilesPerChannel = 2;
    config.maxFiles = 3;
    StartSharing(MIB, config);
    TestUser ann, bob, admin;
    Enter(ann, "ann", "/a/");
    Enter(bob, "bob", "/b/");
    LoginAdmin(admin);
    for (TestUser* user : {&ann, &bob}) {  // past the news of each other's channel
        user->tcp.Send("ping\r\n");
        SkipUntil(user->tcp, "pong");
    }
    ASSERT_TRUE(Upload(ann, "/a/", "empty", ""));
    const int pending = Register(ann, "regsendfile", "/a/", "pending", "0");
    ASSERT_GT(pending, 0);
    const int ACCEPTED = 1;
    struct Case {
        TestUser* user;
        const char* channel;
        const char* name;
        int expected;
    } cases[] = {
        {&ann, "/a/", "third", -209},   // a file and a registered upload fill /a/
        {&bob, "/b/", "b1", ACCEPTED},  // the server's third
        {&bob, "/b/", "b2", -209},      // the server is full
        {&admin, "/b/", "b2", -209},   {&ann, "/", "root", -209},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.channel) + c.name);
        const int answer = Register(*c.user, "regsendfile", c.channel, c.name, "0");
        EXPECT_EQ(answer > 0 ? ACCEPTED : answer, c.expected);
    }
    // The registered upload completes into the place it holds; a deletion frees one.
    LineClient data;
    EXPECT_EQ(CommandWord(Begin(data, "sendfile", pending)), "filedeliver");
    EXPECT_FALSE(data.Expect("filecompleted", DEFAULT_TIMEOUT_MS).empty());
    ann.tcp.Send("deletefile channel=\"/a/\" filename=\"empty\"\r\n");
    ASSERT_FALSE(ann.tcp.Expect("removefile", DEFAULT_TIMEOUT_MS).empty());
    EXPECT_GT(Register(ann, "regsendfile", "/a/", "third", "0"), 0);
    EXPECT_EQ(Register(bob, "regsendfile", "/b/", "b2", "0"), -209);
}

TEST_F(FileSharingTest, NamesAreUniquePerChannelAndCaseSensitive) {
    StartSharing(MIB);
    // Stored names are made from the time in milliseconds: take the next ones already,
    // so the uploads below meet names in use and must not replace them.
    const long long now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const int taken = 900;
    for (int i = 0; i < taken; ++i)
        WriteFile("files/data_" + std::to_string(static_cast<int32_t>(static_cast<uint32_t>(now + i))) + ".dat",
                  "keep");
    TestUser ann;
    Enter(ann, "ann", "/a/");
    ASSERT_TRUE(Upload(ann, "/a/", "Song.mp3", "one"));
    EXPECT_EQ(Register(ann, "regsendfile", "/a/", "Song.mp3", "3"), -316);
    ASSERT_TRUE(Upload(ann, "/a/", "song.mp3", "two"));
    // Two registrations of one name race; the second to finish is refused and leaves nothing.
    const int first = Register(ann, "regsendfile", "/a/", "same", "1");
    const int second = Register(ann, "regsendfile", "/a/", "same", "1");
    ASSERT_GT(first, 0);
    ASSERT_NE(first, second);
    LineClient one, two;
    EXPECT_EQ(CommandWord(Begin(one, "sendfile", first)), "filedeliver");
    EXPECT_EQ(CommandWord(Begin(two, "sendfile", second)), "filedeliver");
    one.Send("1");
    EXPECT_FALSE(one.Expect("filecompleted").empty());
    two.Send("2");
    EXPECT_TRUE(two.WaitClosed(DEFAULT_TIMEOUT_MS));
    EXPECT_TRUE(NoTemporaryFileLeft());
    int kept = 0;
    for (const std::string& name : Stored("data_")) kept += ReadFile("files/" + name) == "keep";
    EXPECT_EQ(kept, taken);
    EXPECT_EQ(Stored("data_").size(), taken + 3u);
}

TEST_F(FileSharingTest, MissingFilesAndUnknownTransfers) {
    {
        StartServer();  // no files root: sharing is off
        TestUser ann;
        Enter(ann, "ann", "/");
        EXPECT_EQ(Register(ann, "regsendfile", "/", "x", "1"), -317);
        EXPECT_EQ(StopServer(), EXIT_CLEAN_STOP);
    }
    StartSharing();
    TestUser ann;
    Enter(ann, "ann", "/");
    EXPECT_EQ(Register(ann, "regrecvfile", "/", "never"), -315);
    ASSERT_TRUE(Upload(ann, "/", "gone", ""));
    ASSERT_EQ(Stored("data_").size(), 1u);
    ASSERT_EQ(unlink(PathOf("files/" + Stored("data_")[0]).c_str()), 0);
    EXPECT_EQ(Register(ann, "regrecvfile", "/", "gone"), -315);

    LineClient data;
    EXPECT_EQ(ErrorNumber(Begin(data, "sendfile", 77)), 314);
    data.Send("recvfile transferid=77\r\n");
    EXPECT_EQ(ErrorNumber(NextLine(data)), 314);
    data.Send("recvfile\r\n");
    EXPECT_EQ(ErrorNumber(NextLine(data)), 2032);
    // Nothing prepared: filedeliver sends nothing.
    data.Send("filedeliver\r\nping\r\n");
    EXPECT_EQ(NextLine(data), "pong");
    // File commands need a login on the command connection, and none on the data one.
    ann.tcp.Send("sendfile transferid=1\r\n");
    EXPECT_EQ(ErrorNumber(Answer(ann.tcp)), 300);
    data.Send("regsendfile channel=\"/\" filename=\"x\" filesize=1\r\n");
    EXPECT_EQ(ErrorNumber(NextLine(data)), 301);
}

TEST_F(FileSharingTest, OnlyOperatorsDeleteFiles) {
    StartSharing(MIB);
    TestUser op, ann, admin;
    Enter(op, "op", "/ops/");  // its maker becomes its operator
    Enter(ann, "ann", "/ops/");
    LoginAdmin(admin);
    ASSERT_TRUE(Upload(ann, "/ops/", "mine", "data"));
    ASSERT_TRUE(Upload(ann, "/ops/", "yours", "data"));
    // Whatever the uploads made the server send has arrived before a ping's answer.
    for (TestUser* user : {&op, &ann, &admin}) {
        user->tcp.Send("ping\r\n");
        SkipUntil(user->tcp, "pong");
    }

    struct Case {
        TestUser* user;
        const char* name;
        int expected;
    } cases[] = {
        {&ann, "mine", 203},  // the uploader has no right of its own
        {&op, "Mine", 315},  {&op, "mine", 0},
        {&op, "mine", 315},  {&admin, "yours", 0},  // an administrator may delete anywhere
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " by " + std::to_string(c.user->id));
        c.user->tcp.Send("deletefile filename=\"" + std::string(c.name) + "\" channel=\"/ops/\"\r\n");
        if (c.expected != 0) {
            EXPECT_EQ(ErrorNumber(Answer(c.user->tcp)), c.expected);
            continue;
        }
        for (TestUser* member : {&op, &ann, &admin})
            EXPECT_EQ(Answer(member->tcp), "removefile filename=\"" + std::string(c.name) + "\" channel=\"/ops/\"");
    }
    EXPECT_TRUE(Stored("data_").empty());
    // The quota is free again.
    EXPECT_GT(Register(ann, "regsendfile", "/ops/", "mine", std::to_string(MIB)), 0);
}

TEST_F(FileSharingTest, ADataConnectionIsNotClosedByTheLoginTimeout) {
    ServerConfig config;
    config.loginTimeout = 1;
    StartSharing(MIB, config);
    TestUser ann, idle;
    Enter(ann, "ann", "/a/");
    const int id = Register(ann, "regsendfile", "/a/", "slow", "4");
    LineClient data;
    EXPECT_EQ(CommandWord(Begin(data, "sendfile", id)), "filedeliver");
    // Once a connection that never logs in has been closed, the timeout has passed.
    Connect(idle);
    EXPECT_TRUE(idle.tcp.WaitClosed(DEFAULT_TIMEOUT_MS));
    data.Send("abcd");
    EXPECT_FALSE(data.Expect("filecompleted", DEFAULT_TIMEOUT_MS).empty());
}

TEST_F(FileSharingTest, TransfersWorkOnlyFromTheRegisteringHost) {
    StartSharing(MIB);
    TestUser ann;
    Enter(ann, "ann", "/private/");
    ASSERT_TRUE(Upload(ann, "/private/", "secret", "top secret"));
    const int download = Register(ann, "regrecvfile", "/private/", "secret");
    const int upload = Register(ann, "regsendfile", "/private/", "new", "4");
    ASSERT_GT(download, 0);
    ASSERT_GT(upload, 0);

    struct Case {
        const char* word;
        int transferId;
        const char* source;
        const char* expected;
    } cases[] = {
        {"recvfile", download, "127.0.0.2", "error"},     {"sendfile", upload, "127.0.0.2", "error"},
        {"sendfile", download, "127.0.0.1", "error"},  // the other direction
        {"recvfile", upload, "127.0.0.1", "error"},       {"recvfile", download, "127.0.0.1", "fileready"},
        {"sendfile", upload, "127.0.0.1", "filedeliver"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.word) + " from " + c.source);
        LineClient data;
        const std::string reply = Begin(data, c.word, c.transferId, c.source);
        EXPECT_EQ(CommandWord(reply), c.expected) << reply;
        if (CommandWord(reply) == "error") {
            EXPECT_EQ(ErrorNumber(reply), 314);
        }
    }
    EXPECT_EQ(Download(ann, "/private/", "secret"), "top secret");
}

TEST_F(FileSharingTest, UnfinishedUploadsLeaveNothing) {
    StartSharing(2 * MIB);
    TestUser ann;
    Enter(ann, "ann", "/up/");

    rlimit original = {RLIM_INFINITY, RLIM_INFINITY};
    enum Ending { CLOSED_EARLY, TOO_MANY_BYTES, DISK_REFUSES };
    for (Ending ending : {CLOSED_EARLY, TOO_MANY_BYTES, DISK_REFUSES}) {
        SCOPED_TRACE(ending);
        // Too many bytes in one small write, so that no read can end at the size itself.
        const int size = ending == TOO_MANY_BYTES ? 100 : MIB;
        const int id = Register(ann, "regsendfile", "/up/", "f", std::to_string(size));
        ASSERT_GT(id, 0);
        LineClient data;
        ASSERT_EQ(CommandWord(Begin(data, "sendfile", id)), "filedeliver");
        if (ending == CLOSED_EARLY) {
            data.Send(std::string(MIB / 2, 'x'));
            data.Close();
        } else if (ending == TOO_MANY_BYTES) {
            data.Send(std::string(size + 1, 'x'));
            EXPECT_TRUE(data.WaitClosed(DEFAULT_TIMEOUT_MS));
        } else {
            // Any file of the server may now grow to 64 KiB only.
            ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, nullptr, &original), 0);
            const rlimit limit = {64 * KIB, original.rlim_max};
            ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr), 0);
            data.Send(std::string(MIB, 'x'));
            EXPECT_TRUE(data.WaitClosed(DEFAULT_TIMEOUT_MS));
        }
        EXPECT_TRUE(NoTemporaryFileLeft());
    }
    // Nothing was announced, stored or counted against the quota.
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &original, nullptr), 0);
    EXPECT_TRUE(Stored("data_").empty());
    EXPECT_TRUE(ann.tcp.Quiet(100));
    EXPECT_TRUE(Upload(ann, "/up/", "full", std::string(2 * MIB, 'y')));
}

// A channel that goes takes its transfers with it: Mallory's upload, begun in /x/, must not
// complete into a channel of the same path that the victim makes afterwards, nor count
// against its quota. Whether /x/ went because Mallory left it or the administrator removed it.
TEST_F(FileSharingTest, RemovingAChannelEndsItsTransfers) {
    ServerConfig config;
    config.trustLoopback = false;
    StartSharing(MIB, config);
    TestUser admin;
    LoginAdmin(admin);
    for (const bool removedByAdmin : {false, true}) {
        SCOPED_TRACE(removedByAdmin ? "removechannel" : "the last member leaves");
        const std::string quota = " diskquota=" + std::to_string(MIB);
        if (removedByAdmin) admin.tcp.Send("makechannel channel=\"/x/\"" + quota + "\r\n");
        TestUser mallory("127.0.0.2"), victim;
        Enter(mallory, "mallory", "/x/");
        const int id = Register(mallory, "regsendfile", "/x/", "planted.txt", "1000");
        const int waiting = Register(mallory, "regsendfile", "/x/", "later.txt", "1000");
        ASSERT_GT(id, 0);
        ASSERT_GT(waiting, 0);
        LineClient data;
        ASSERT_EQ(CommandWord(Begin(data, "sendfile", id, "127.0.0.2")), "filedeliver");
        data.Send(std::string(500, 'p'));

        if (removedByAdmin) admin.tcp.Send("removechannel channel=\"/x/\"\r\n");
        else mallory.tcp.Send("join channel=\"/elsewhere/\"\r\n");
        EXPECT_EQ(ErrorNumber(NextLine(data)), 312);
        EXPECT_TRUE(data.WaitClosed(DEFAULT_TIMEOUT_MS));
        EXPECT_TRUE(NoTemporaryFileLeft());

        if (removedByAdmin) admin.tcp.Send("makechannel channel=\"/x/\" password=\"pw\"" + quota + "\r\n");
        ASSERT_TRUE(ConnectAndLogin(victim, "victim"));
        victim.tcp.Send("join channel=\"/x/\" password=\"pw\"\r\n");
        ASSERT_FALSE(SkipUntil(victim.tcp, "done").empty());
        // Neither registration survived: the ids are unknown and the whole quota is free.
        LineClient late;
        EXPECT_EQ(ErrorNumber(Begin(late, "sendfile", waiting, "127.0.0.2")), 314);
        EXPECT_TRUE(Upload(victim, "/x/", "own.txt", std::string(MIB, 'v')));
        std::vector<std::string> seen;
        victim.tcp.Send("ping\r\n");
        victim.tcp.Expect("pong", DEFAULT_TIMEOUT_MS, &seen);
        for (const std::string& line : seen) EXPECT_EQ(line.find("planted"), std::string::npos) << line;
        victim.tcp.Send("leave\r\n");
        SkipUntil(victim.tcp, "left");
        admin.tcp.Send("removechannel channel=\"/x/\"\r\nping\r\n");
        SkipUntil(admin.tcp, "pong");
    }
}

// A reader slower than the disk: the server reads the file only as fast as the
// connection's bounded output queue drains, never far ahead of what the client took.
TEST_F(FileSharingTest, DownloadToASlowReaderStaysBounded) {
    StartSharing(64LL * MIB);
    TestUser ann;
    Enter(ann, "ann", "/slow/");
    const std::string content = RandomBytes(24 * MIB, 7);
    ASSERT_TRUE(Upload(ann, "/slow/", "big", content));

    const int id = Register(ann, "regrecvfile", "/slow/", "big");
    ASSERT_GT(id, 0);
    LineClient data;
    ASSERT_EQ(CommandWord(Begin(data, "recvfile", id, "", 64 * KIB)), "fileready");
    const std::string io = "/proc/" + std::to_string(pid_) + "/io";
    const long long readBefore = ProcField(io, "rchar");
    // What may lie between the file and the client: the output queue, one chunk and
    // the kernel's socket buffers on both ends.
    const long long kernelBuffers = [] {
        std::ifstream in("/proc/sys/net/ipv4/tcp_wmem");
        long long low = 0, initial = 0, max = 0;
        in >> low >> initial >> max;
        return max;
    }();
    // Slack for what else the process reads (its sanitizer runtime reads /proc files).
    const long long bound = MIB + 64 * KIB + kernelBuffers + 2 * MIB;
    data.Send("filedeliver\r\n");
    std::string received, chunk;
    long long worst = 0;
    while (received.size() < content.size() && data.ReadSome(64 * KIB, chunk, DEFAULT_TIMEOUT_MS)) {
        received += chunk;
        const long long ahead = ProcField(io, "rchar") - readBefore - static_cast<long long>(received.size());
        worst = std::max(worst, ahead);
    }
    EXPECT_LE(worst, bound) << "bytes read from the file ahead of the client";
    EXPECT_TRUE(received == content);
}

TEST_F(FileSharingTest, StatisticsCountRunningTransfers) {
    StartSharing(64LL * MIB);
    TestUser ann;
    Enter(ann, "ann", "/st/");
    ASSERT_TRUE(Upload(ann, "/st/", "big", std::string(16 * MIB, 'b')));
    const auto stats = [&] {
        ann.tcp.Send("message type=2 channel=\"\" content=\"/stats\"\r\n");
        const std::string text = Param(ann.tcp.Expect("messagedeliver"), "content");
        EXPECT_FALSE(ann.tcp.Expect("ok").empty());
        return text.substr(text.find("Active file transfers"));
    };
    EXPECT_EQ(stats(), "Active file transfers: 0\r\nActive uploads: 0\r\nActive downloads: 0");

    // One upload part way and two downloads to readers that do not read.
    LineClient upload, downloads[2];
    ASSERT_EQ(CommandWord(Begin(upload, "sendfile", Register(ann, "regsendfile", "/st/", "up", "100"))), "filedeliver");
    upload.Send("half");
    for (LineClient& download : downloads) {
        ASSERT_EQ(CommandWord(Begin(download, "recvfile", Register(ann, "regrecvfile", "/st/", "big"), "", 4 * KIB)),
                  "fileready");
        download.Send("filedeliver\r\n");
    }
    EXPECT_TRUE(
        WaitFor([&] { return stats() == "Active file transfers: 3\r\nActive uploads: 1\r\nActive downloads: 2"; },
                DEFAULT_TIMEOUT_MS));
    upload.Close();
    for (LineClient& download : downloads) download.Close();
    EXPECT_TRUE(
        WaitFor([&] { return stats() == "Active file transfers: 0\r\nActive uploads: 0\r\nActive downloads: 0"; },
                DEFAULT_TIMEOUT_MS));
}

}  // namespace
}  // namespace test
}  // namespace quorvane
