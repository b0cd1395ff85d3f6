// What the XML files keep: the text rule (exactly what they give back), the storage
// writer (off the loop, coalesced, in order, failures told, pending writes finished on
// stop), the saves of a node's changes, and the modes of what is written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReactorLoop.h"
#include "ScratchDirectoryTest.h"
#include "listeners/EventLog.h"
#include "listeners/PersistenceListener.h"
#include "listeners/ServerListener.h"
#include "listeners/StorageWriter.h"
#include "server/ServerNode.h"
#include "settings/BanList.h"
#include "settings/FilesList.h"
#include "settings/FixedText.h"
#include "settings/QuorvaneSettings.h"
#include "settings/StoredText.h"
#include "settings/ValueRules.h"

using namespace quorvane;
using networktest::ReactorLoop;
using testing_support::WaitFor;

namespace {

class StorageWriterTest : public ScratchDirectoryTest {
protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        ASSERT_TRUE(files_.CreateXMLFile(Path("FilesList.xml")));
        ASSERT_TRUE(settings_.CreateXMLFile(Path("QuorvaneService.xml")));
        ASSERT_TRUE(bans_.CreateXMLFile(Path("BanList.xml")));
    }

    static mode_t Mode(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
    }
    void AttachAll(StorageWriter& writer) {
        writer.Attach(files_, "files-list");
        writer.Attach(settings_, "settings");
        writer.Attach(bans_, "ban-list");
    }
    static FileEntry Entry(const std::string& name) {
        FileEntry entry;
        entry.name = name;
        entry.internalname = "data_" + name + ".dat";
        return entry;
    }

    FilesList files_;
    QuorvaneSettings settings_;
    BanList bans_;
};

// A write function that records the files it writes and, while closed, holds the
// writer thread inside a write.
class Gate {
public:
    StorageWriter::WriteFile Function() {
        return [this](const std::string& path, const std::string& text) {
            std::unique_lock<std::mutex> lock(mutex_);
            paths_.push_back(path.substr(path.rfind('/') + 1));
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
            return path.find(fail_) == std::string::npos && XMLDocument::WriteSnapshot(path, text);
        };
    }
    void Set(bool open, const std::string& failFor = "\n") {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = open;
        fail_ = failFor;
        changed_.notify_all();
    }
    // Waits until count writes have begun.
    bool Began(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return paths_.size() >= count; });
    }
    std::vector<std::string> Paths() {
        std::lock_guard<std::mutex> guard(mutex_);
        return paths_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    std::string fail_ = "\n";  // writes to a path holding this fail
    std::vector<std::string> paths_;
};

// Texts a user may type, with whether the files keep them plain; every one the server
// takes (any bytes but NUL, within the cap) must come back from each kind of place a file
// keeps text in, and the files stay UTF-8 of characters XML allows.
TEST_F(StorageWriterTest, EveryTextTakenComesBackFromTheFiles) {
    const struct {
        std::string text;
        bool plain;
    } cases[] = {
        {"", true},
        {"plain", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
        {"\xef\xbb\xbf", true},
        {"\xef\xbb\xbf lead", true},
        {" \xef\xbb\xbf", true},
        {"tab\tlf\ncr\rend", true},
        {"x\r", true},
        {" \t\n", true},
        {"\x7f \xc2\x85 \xef\xbf\xbd \xf4\x8f\xbf\xbf", true},
        {"&#x41; &amp; <a> ]]>", true},
        {std::string(511, 'n'), true},
        {std::string(510, 'n') + "\xc3\xa9", true},
        {std::string(512, 'n'), true},
        {std::string("a\0b", 3), false},
        {"name\xc3", false},
        {"\xf0\x9f\x98", false},
        {"\x80", false},
        {"\xff", false},
        {"\xc0\x80", false},
        {"\xe0\x80\xaf", false},
        {"\xed\xa0\x80", false},
        {"\xf4\x90\x80\x80", false},
        {"\x01", false},
        {"\x1b[31m", false},
        {"\x0b", false},
        {"\x0c", false},
        {"\xef\xbf\xbe", false},
        {"\xef\xbf\xbf", false},
        {"\r", false},
        {" \r\n ", false},
        {"J\xf6rg", false},
        {"\xe9t\xe9", false},
        {"\x80 euro", false},
        {"  \xf6  ", false},
        {"\x01\x1f\t\n\r", false},
    };
    // A document of another encoding than UTF-8 (none declared) keeps them too.
    const std::string legacy = Path("legacy.xml");
    Write(legacy, "<quorvane><hosting/></quorvane>");
    QuorvaneSettings other;
    ASSERT_TRUE(other.LoadXMLFile(legacy));
    std::vector<std::string> kept;
    for (const auto& c : cases) {
        EXPECT_EQ(StoredText::IsPlain(c.text), c.plain) << testing::PrintToString(c.text);
        if (!ValueRules::IsAcceptableText(c.text)) continue;
        const std::string n = std::to_string(kept.size());
        kept.push_back(c.text);
        settings_.PutString(settings_.GetHostingElement(), "v" + n, c.text);
        other.PutString(other.GetHostingElement(), "v" + n, c.text);
        FileEntry entry = Entry(n);
        entry.name = n + c.text;
        entry.internalname = c.text;
        files_.AddFileEntry("/", entry);
        BanEntry ban{};
        CopyFixedText(ban.address, c.text);
        CopyFixedText(ban.nickname, c.text);
        bans_.AddBanEntry(ban);
    }
    QuorvaneSettings settings, otherAgain;
    FilesList files;
    BanList bans;
    ASSERT_TRUE(settings.LoadXMLFile(Path("QuorvaneService.xml")));
    ASSERT_TRUE(otherAgain.LoadXMLFile(legacy));
    ASSERT_TRUE(files.LoadXMLFile(Path("FilesList.xml")));
    ASSERT_TRUE(bans.LoadXMLFile(Path("BanList.xml")));
    for (const char* name : {"QuorvaneService.xml", "FilesList.xml", "BanList.xml", "legacy.xml"})
        EXPECT_TRUE(StoredText::IsPlain(Read(Path(name)))) << name;
    std::vector<FileEntry> listed;
    files.ReadFileEntries("/", listed);
    std::vector<BanEntry> banned;
    bans.GetBanEntries(banned);
    ASSERT_EQ(listed.size(), kept.size());
    ASSERT_EQ(banned.size(), kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        const std::string n = std::to_string(i), expected = testing::PrintToString(kept[i]);
        std::string value, otherValue;
        EXPECT_TRUE(settings.GetString(settings.GetHostingElement(), "v" + n, value));
        EXPECT_TRUE(otherAgain.GetString(otherAgain.GetHostingElement(), "v" + n, otherValue));
        EXPECT_EQ(testing::PrintToString(value), expected);
        EXPECT_EQ(testing::PrintToString(otherValue), expected);
        EXPECT_EQ(testing::PrintToString(listed[i].name), testing::PrintToString(n + kept[i]));
        EXPECT_EQ(testing::PrintToString(listed[i].internalname), expected);
        EXPECT_EQ(testing::PrintToString(FixedText(banned[i].address)), expected);
        EXPECT_EQ(testing::PrintToString(FixedText(banned[i].nickname)), expected);
    }
    // A fixed field cuts a longer text between characters, never inside one.
    BanEntry cut{};
    CopyFixedText(cut.channelpath, std::string(510, 'p') + "\xc3\xa9");
    EXPECT_EQ(FixedText(cut.channelpath), std::string(510, 'p'));
}

TEST_F(StorageWriterTest, FilesGoInOrderAndChangesPilingUpDuringAWriteMakeOneMore) {
    ReactorLoop loop(networktest::EPOLL_REACTOR);
    Gate gate;
    StorageWriter writer(loop.reactor(), nullptr, gate.Function());
    AttachAll(writer);
    ASSERT_TRUE(writer.Start());
    loop.Start();
    // Changed in one turn, last first: written files list, settings, ban list.
    ASSERT_TRUE(loop.RunOnLoop([&] {
        bans_.SaveXMLFile();
        settings_.PutText("server-name", "x");
        files_.AddFileEntry("/", Entry("first"));
    }));
    ASSERT_TRUE(WaitFor([&] { return writer.Writes() == 3; }));
    EXPECT_EQ(gate.Paths(), (std::vector<std::string>{"FilesList.xml", "QuorvaneService.xml", "BanList.xml"}));

    // Each upload a turn of its own while a write is held: one write takes them all.
    gate.Set(false);
    ASSERT_TRUE(loop.RunOnLoop([&] { files_.AddFileEntry("/", Entry("held")); }));
    ASSERT_TRUE(gate.Began(4));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(loop.RunOnLoop([&, i] { files_.AddFileEntry("/", Entry(std::to_string(i))); }));
    gate.Set(true);
    ASSERT_TRUE(WaitFor([&] { return writer.Writes() == 5; }));
    std::atomic<bool> saved(false);
    ASSERT_TRUE(loop.RunOnLoop([&] { writer.SaveAll([&](bool written) { saved = written; }); }));
    ASSERT_TRUE(WaitFor([&] { return saved.load(); }));
    loop.Stop();
    const std::vector<std::string> paths = gate.Paths();
    EXPECT_EQ(paths.size(), 8u);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "FilesList.xml"), 4);
    FilesList again;
    ASSERT_TRUE(again.LoadXMLFile(Path("FilesList.xml")));
    std::vector<FileEntry> listed;
    again.ReadFileEntries("/", listed);
    EXPECT_EQ(listed.size(), 102u);
}

// A snapshot of the files list shares the text of every entry printed before, and is the
// text the document itself prints, for entries loaded from the file as for new ones.
TEST_F(StorageWriterTest, AFilesListSnapshotSharesItsPrintedEntries) {
    files_.BeginBatch();
    for (int i = 0; i < 50; ++i) files_.AddFileEntry("/c" + std::to_string(i % 5) + "/", Entry(std::to_string(i)));
    files_.EndBatch();
    FilesList loaded;
    ASSERT_TRUE(loaded.LoadXMLFile(Path("FilesList.xml")));
    loaded.PrepareSnapshots();
    const auto joined = [](const XMLDocument::TextPieces& pieces) {
        std::string text;
        for (const auto& piece : pieces) text += *piece;
        return text;
    };
    std::string path, whole;
    XMLDocument::TextPieces before, after;
    ASSERT_TRUE(loaded.Snapshot(path, before));
    ASSERT_TRUE(loaded.Print(whole));
    EXPECT_EQ(joined(before), whole);
    EXPECT_EQ(whole, Read(Path("FilesList.xml")));
    loaded.AddFileEntry("/c1/", Entry(" spaced  name "));
    loaded.RemoveFileEntry("/c2/", "2");
    ASSERT_TRUE(loaded.Snapshot(path, after));
    ASSERT_TRUE(loaded.Print(whole));
    EXPECT_EQ(joined(after), whole);
    EXPECT_NE(whole.find("spaced  name"), std::string::npos);
    // Each entry is one piece, and an entry left as it was is the very same piece.
    std::vector<const std::string*> shared;
    for (const auto& piece : before)
        for (const auto& again : after)
            if (piece == again) shared.push_back(piece.get());
    EXPECT_EQ(shared.size(), 49u);
}

// Writes of a spaced document start that far apart: changes in between wait and are
// written together, except that saveconfig's SaveAll and the stop's Flush never wait.
TEST_F(StorageWriterTest, ASpacedDocumentWaitsOnlyForChanges) {
    ReactorLoop loop(networktest::EPOLL_REACTOR);
    Gate gate;
    StorageWriter writer(loop.reactor(), nullptr, gate.Function());
    writer.Attach(files_, "files-list", 3600 * 1000);
    writer.Attach(settings_, "settings");
    ASSERT_TRUE(writer.Start());
    loop.Start();
    ASSERT_TRUE(loop.RunOnLoop([&] { files_.AddFileEntry("/", Entry("first")); }));
    ASSERT_TRUE(gate.Began(1));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(loop.RunOnLoop([&, i] { files_.AddFileEntry("/", Entry(std::to_string(i))); }));
    ASSERT_TRUE(loop.RunOnLoop([&] { settings_.PutText("server-name", "unspaced"); }));
    ASSERT_TRUE(gate.Began(2));
    std::atomic<bool> saved(false);
    ASSERT_TRUE(loop.RunOnLoop([&] { writer.SaveAll([&](bool written) { saved = written; }); }));
    ASSERT_TRUE(WaitFor([&] { return saved.load(); }));
    EXPECT_EQ(gate.Paths(), (std::vector<std::string>{"FilesList.xml", "QuorvaneService.xml", "FilesList.xml",
                                                      "QuorvaneService.xml"}));
    std::vector<FileEntry> listed;
    FilesList again;
    ASSERT_TRUE(again.LoadXMLFile(Path("FilesList.xml")));
    again.ReadFileEntries("/", listed);
    EXPECT_EQ(listed.size(), 11u);
    ASSERT_TRUE(loop.RunOnLoop([&] { files_.AddFileEntry("/", Entry("last")); }));
    loop.Stop();
    writer.Stop();
    EXPECT_NE(Read(Path("FilesList.xml")).find("\"last\""), std::string::npos);
}

TEST_F(StorageWriterTest, AFailedWriteIsToldAndReportedAndTheOldFileStays) {
    ReactorLoop loop(networktest::EPOLL_REACTOR);
    Gate gate;
    gate.Set(true, "QuorvaneService.xml");
    std::vector<std::string> reports;  // the loop's thread only
    StorageWriter writer(
        loop.reactor(), [&](const std::string& text) { reports.push_back(text); }, gate.Function());
    AttachAll(writer);
    ASSERT_TRUE(writer.Start());
    loop.Start();
    const std::string before = Read(Path("QuorvaneService.xml"));
    std::atomic<int> results[2] = {{-1}, {-1}};
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(loop.RunOnLoop([&, round] {
            settings_.PutText("server-name", "changed");
            writer.SaveAll([&, round](bool written) { results[round] = written; });
        }));
        ASSERT_TRUE(WaitFor([&] { return results[round] != -1; }));
        EXPECT_EQ(Read(Path("QuorvaneService.xml")) == before, round == 0);
        gate.Set(true);
    }
    loop.Stop();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(reports, std::vector<std::string>{
                           "Quorvane service failed to save settings file: " + Path("QuorvaneService.xml") + "."});
}

TEST_F(StorageWriterTest, StopWritesWhatIsPendingAndSavesWriteAtOnceAfterwards) {
    ACE_Reactor reactor(new ACE_Select_Reactor, true);  // no loop runs: Stop does the loop's part
    StorageWriter writer(&reactor, nullptr);
    AttachAll(writer);
    ASSERT_TRUE(writer.Start());
    settings_.PutText("server-name", "pending");
    std::string name;
    EXPECT_TRUE(settings_.GetString(settings_.GetHostingElement(), "server-name", name));
    EXPECT_EQ(name, "pending");
    EXPECT_EQ(Read(Path("QuorvaneService.xml")).find("pending"), std::string::npos);  // deferred
    writer.Stop();
    EXPECT_EQ(writer.Writes(), 1u);
    EXPECT_NE(Read(Path("QuorvaneService.xml")).find("pending"), std::string::npos);
    settings_.PutText("server-name", "direct");
    EXPECT_NE(Read(Path("QuorvaneService.xml")).find("direct"), std::string::npos);
    EXPECT_EQ(writer.Writes(), 1u);
}

// The node's changes through the listener: a thousand uploads, then removing their
// channel, each a single write of the files list; saveconfig writes all three files.
TEST_F(StorageWriterTest, ANodesBurstOfChangesIsOneWrite) {
    ACE_Reactor reactor(new ACE_Select_Reactor, true);
    StorageWriter writer(&reactor, nullptr);
    AttachAll(writer);
    ASSERT_TRUE(writer.Start());
    server::PersistenceListener persistence(settings_, bans_, files_, nullptr, &writer);
    server::ServerListener listener(nullptr, &persistence);
    server::ServerNode node(&reactor, &reactor, &listener, false);
    ASSERT_EQ(node.Channels().UserMakeChannel("/c/", "", "", true, 0), 0);
    const server::serverchannel_t channel = node.Channels().FindChannel("/c/");
    for (int i = 0; i < 1000; ++i) {
        ChannelFile file;
        file.filename = "f" + std::to_string(i);
        file.internalName = "data_" + std::to_string(i) + ".dat";
        node.Files().AddFileToChannel(file, channel);
    }
    writer.Flush();
    EXPECT_EQ(writer.Writes(), 1u);
    EXPECT_NE(Read(Path("FilesList.xml")).find("\"f999\""), std::string::npos);
    EXPECT_EQ(node.Channels().UserRemoveChannel("/c/"), 0);
    writer.Flush();
    EXPECT_EQ(writer.Writes(), 2u);
    EXPECT_EQ(Read(Path("FilesList.xml")).find("\"f0\""), std::string::npos);
    bool saved = false;
    node.UserSaveConfig([&](bool written) { saved = written; });
    writer.Flush();
    EXPECT_TRUE(saved);
    EXPECT_EQ(writer.Writes(), 5u);
}

TEST_F(StorageWriterTest, FilesAreOwnerOnlyWhateverTheUmaskAndCutSavesAreRemoved) {
    const mode_t original = umask(0);
    for (const mode_t mask : {0000, 0022, 0277}) {
        umask(mask);
        const std::string fresh = Path("fresh.xml"), shared = Path("shared.xml"), group = Path("group.xml");
        const std::string log = Path("events.log");
        for (const std::string& path : {fresh, shared, group, log}) unlink(path.c_str());
        std::ofstream(shared) << "old";
        chmod(shared.c_str(), 0644);  // as earlier versions left them
        std::ofstream(group) << "old";
        chmod(group.c_str(), 0640);  // an administrator's choice
        for (const std::string& path : {fresh, shared, group}) EXPECT_TRUE(XMLDocument::WriteSnapshot(path, "<a/>"));
        EventLog events;
        EXPECT_TRUE(events.Open(log));
        EXPECT_EQ(Mode(fresh), 0600u) << mask;
        EXPECT_EQ(Mode(shared), 0600u) << mask;
        EXPECT_EQ(Mode(group), 0640u) << mask;
        EXPECT_EQ(Mode(log), 0640u) << mask;
    }
    umask(original);

    // Only the temporary files of saves to that file, and none a running save holds.
    const std::string target = Path("BanList.xml");
    const std::vector<std::string> names = {"BanList.xml.tmp-12-0", "BanList.xml.tmp-1-99", "BanList.xml.tmp-7-1",
                                            "BanList.xml.tmp-x-1",  "BanList.xml.tmp-",     "FilesList.xml.tmp-1-1"};
    for (const std::string& name : names) std::ofstream(Path(name)) << "secret";
    const int held = open(Path("BanList.xml.tmp-7-1").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::vector<std::string> removed = XMLDocument::RemoveCutSaves(target);
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{Path("BanList.xml.tmp-1-99"), Path("BanList.xml.tmp-12-0")}));
    close(held);
    for (size_t i = 2; i < names.size(); ++i) EXPECT_EQ(Read(Path(names[i])), "secret") << names[i];
}

}  // namespace
