// The ban list, the files list, values that must survive a save and a load byte for
// byte, saves made once per batch, and the moves between the files and the node.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <gtest/gtest.h>

#include "ScratchDirectoryTest.h"

#include "listeners/EventLog.h"
#include "listeners/Persistence.h"
#include "server/ServerNode.h"
#include "settings/BanList.h"
#include "settings/DateText.h"
#include "settings/FilesList.h"
#include "settings/FixedText.h"
#include "settings/QuorvaneSettings.h"
#include "settings/SettingsCheck.h"

using namespace quorvane;
using quorvane::server::ServerNode;

namespace {

typedef ScratchDirectoryTest PersistenceTest;

// Values an administrator may type: spaces where the parser folds them, quotes, markup
// characters, references written out, control characters and UTF-8.
const std::vector<std::string> AWKWARD_VALUES = {"plain",
                                                 " leading",
                                                 "trailing ",
                                                 "double  space",
                                                 "   ",
                                                 " ",
                                                 "\t",
                                                 "tab\tand\nnewline",
                                                 "cr\rin",
                                                 "quotes \"'",
                                                 "<tag> & </tag>",
                                                 "&amp; &#x41; &#65;",
                                                 "]]> and <![CDATA[",
                                                 "caf\xc3\xa9 \xe2\x82\xac",
                                                 "",
                                                 "x"};

TEST_F(PersistenceTest, EveryValueReadsBackAsWritten) {
    const std::string path = Path("QuorvaneService.xml");
    {
        QuorvaneSettings settings;
        ASSERT_TRUE(settings.CreateXMLFile(path));
        StaticChannelTable table;
        StaticChannelRecord root{};
        root.id = 1;
        table[1] = root;
        for (size_t i = 0; i < AWKWARD_VALUES.size(); ++i) {
            StaticChannelRecord record{};
            record.id = static_cast<int32_t>(i + 2);
            record.parentid = 1;
            CopyFixedText(record.name, "c" + std::to_string(i));
            CopyFixedText(record.password, AWKWARD_VALUES[i]);
            CopyFixedText(record.topic, AWKWARD_VALUES[i]);
            table[record.id] = record;
        }
        settings.BeginBatch();
        settings.WriteStaticChannels(table);
        for (size_t i = 0; i < AWKWARD_VALUES.size(); ++i)
            settings.PutString(settings.GetHostingElement(), "value" + std::to_string(i), AWKWARD_VALUES[i]);
        ASSERT_TRUE(settings.EndBatch());
    }
    QuorvaneSettings settings;
    ASSERT_TRUE(settings.LoadXMLFile(path)) << settings.GetErrorText();
    StaticChannelTable table;
    ASSERT_TRUE(settings.ReadStaticChannels(table));
    ASSERT_EQ(table.size(), AWKWARD_VALUES.size() + 1);
    for (size_t i = 0; i < AWKWARD_VALUES.size(); ++i) {
        std::string value;
        EXPECT_TRUE(settings.GetString(settings.GetHostingElement(), "value" + std::to_string(i), value));
        EXPECT_EQ(value, AWKWARD_VALUES[i]) << i;
        EXPECT_EQ(FixedText(table[static_cast<int32_t>(i + 2)].password), AWKWARD_VALUES[i]) << i;
        EXPECT_EQ(FixedText(table[static_cast<int32_t>(i + 2)].topic), AWKWARD_VALUES[i]) << i;
    }

    // Names kept in attributes: file names and ban addresses.
    FilesList files;
    ASSERT_TRUE(files.CreateXMLFile(Path("FilesList.xml")));
    BanList bans;
    ASSERT_TRUE(bans.CreateXMLFile(Path("BanList.xml")));
    for (const std::string& value : AWKWARD_VALUES) {
        FileEntry entry;
        entry.name = value + "!";
        entry.internalname = value;
        files.AddFileEntry("/", entry);
        BanEntry ban{};
        CopyFixedText(ban.address, value);
        CopyFixedText(ban.nickname, value);
        bans.AddBanEntry(ban);
    }
    FilesList filesAgain;
    ASSERT_TRUE(filesAgain.LoadXMLFile(Path("FilesList.xml")));
    std::vector<FileEntry> listed;
    filesAgain.ReadFileEntries("/", listed);
    BanList bansAgain;
    ASSERT_TRUE(bansAgain.LoadXMLFile(Path("BanList.xml")));
    std::vector<BanEntry> banned;
    bansAgain.GetBanEntries(banned);
    ASSERT_EQ(listed.size(), AWKWARD_VALUES.size());
    ASSERT_EQ(banned.size(), AWKWARD_VALUES.size());
    for (size_t i = 0; i < AWKWARD_VALUES.size(); ++i) {
        EXPECT_EQ(listed[i].name, AWKWARD_VALUES[i] + "!") << i;
        EXPECT_EQ(listed[i].internalname, AWKWARD_VALUES[i]) << i;
        EXPECT_EQ(FixedText(banned[i].address), AWKWARD_VALUES[i]) << i;
        EXPECT_EQ(FixedText(banned[i].nickname), AWKWARD_VALUES[i]) << i;
    }
}

TEST_F(PersistenceTest, HandWrittenTextStillReadsAsBefore) {
    const std::string path = Path("QuorvaneService.xml");
    Write(path,
          "<?xml version=\"1.0\"?><quorvane><hosting><motd>\n   Hello   big\n  world  </motd>"
          "<server-name><!-- c -->x</server-name></hosting></quorvane>");
    QuorvaneSettings settings;
    ASSERT_TRUE(settings.LoadXMLFile(path));
    SettingValues values;
    EXPECT_TRUE(SettingsCheck::Read(settings, values).empty());
    EXPECT_EQ(values.Text("motd"), "Hello big world");
    EXPECT_EQ(values.Text("server-name"), "");
}

TEST_F(PersistenceTest, BatchSavesOnceAtTheEnd) {
    BanList bans;
    ASSERT_TRUE(bans.CreateXMLFile(Path("BanList.xml")));
    const std::string before = Read(Path("BanList.xml"));
    bans.BeginBatch();
    bans.ClearBanEntries();
    for (int i = 0; i < 1000; ++i) {
        BanEntry ban{};
        CopyFixedText(ban.address, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
        EXPECT_TRUE(bans.AddBanEntry(ban));
    }
    EXPECT_EQ(Read(Path("BanList.xml")), before);
    EXPECT_TRUE(bans.EndBatch());
    BanList again;
    ASSERT_TRUE(again.LoadXMLFile(Path("BanList.xml")));
    EXPECT_EQ(again.CountBanEntries(), 1000);
}

// A file size limit makes the write fail part way, as a full disk would.
TEST_F(PersistenceTest, ASaveThatFailsKeepsTheOldFile) {
    BanList bans;
    ASSERT_TRUE(bans.CreateXMLFile(Path("BanList.xml")));
    const std::string before = Read(Path("BanList.xml"));
    BanEntry ban{};
    CopyFixedText(ban.nickname, std::string(500, 'n'));
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 300;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const bool saved = bans.AddBanEntry(ban);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(saved);
    EXPECT_EQ(Read(Path("BanList.xml")), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

TEST_F(PersistenceTest, AbsurdlyDeepOrLargeDocumentsAreRefusedBeforeParsing) {
    const std::string path = Path("deep.xml");
    std::string deep = "<?xml version=\"1.0\"?>";
    for (int i = 0; i < 200000; ++i) deep += "<a>";
    Write(path, deep);
    QuorvaneSettings settings;
    EXPECT_FALSE(settings.LoadXMLFile(path));
    EXPECT_TRUE(settings.HasLoadError());
    EXPECT_EQ(settings.GetErrorText(), "Elements are nested more than 10000 deep.");
    Write(path, "<?xml version=\"1.0\"?><!DOCTYPE x>");
    EXPECT_TRUE(settings.LoadXMLFile(path));
    EXPECT_FALSE(settings.HasRootElement());
}

// Stray bytes the parser takes into markup would print to a file no start could read:
// such a document is refused while its file is whole.
TEST_F(PersistenceTest, ADocumentWhoseSaveWouldNotLoadIsRefused) {
    const char text[] = "<?xml version=\"1.0\"?><a>b</a></serverbans\xff\xff\xff\xff\xff\xff\xff\0st>";
    Write(Path("BanList.xml"), std::string(text, sizeof(text) - 1));
    BanList bans;
    EXPECT_FALSE(bans.LoadXMLFile(Path("BanList.xml")));
    EXPECT_EQ(bans.GetErrorText().rfind("The document would not read back once saved: ", 0), 0u) << bans.GetErrorText();
}

TEST_F(PersistenceTest, BanListDefaultsAndEntries) {
    BanList bans;
    ASSERT_TRUE(bans.CreateXMLFile(Path("BanList.xml")));
    EXPECT_EQ(Read(Path("BanList.xml")).find("example begin") != std::string::npos, true);
    EXPECT_EQ(bans.CountBanEntries(), 0);

    struct tm when = {};
    when.tm_year = 105, when.tm_mon = 4, when.tm_mday = 15, when.tm_hour = 22, when.tm_min = 35, when.tm_sec = 59;
    when.tm_isdst = -1;
    const int32_t moment = static_cast<int32_t>(mktime(&when));
    EXPECT_EQ(FormatDateTime(moment), "2005/05/15 22:35");
    EXPECT_EQ(ParseDateTime("2005/05/15 22:35"), moment - 59);
    EXPECT_EQ(ParseDateTime("2005/05/15"), 0);
    EXPECT_EQ(ParseDateTime("2005//05/15   22::35"), moment - 59);

    // A root without <serverbans> gets one when first asked, and the file is saved.
    Write(Path("BanList.xml"), "<?xml version=\"1.0\"?><banlist version=\"1.0\"/>");
    ASSERT_TRUE(bans.LoadXMLFile(Path("BanList.xml")));
    EXPECT_EQ(bans.CountBanEntries(), 0);
    EXPECT_NE(Read(Path("BanList.xml")).find("serverbans"), std::string::npos);
    BanEntry entry{};
    CopyFixedText(entry.address, "9.9.9.9");
    entry.bantime = moment;
    CopyFixedText(entry.channelpath, "/a/b/");
    CopyFixedText(entry.nickname, std::string(600, 'n'));
    bans.AddBanEntry(entry);
    BanEntry read{};
    read.userid = 77;
    ASSERT_TRUE(bans.GetBanEntry(0, read));
    EXPECT_FALSE(bans.GetBanEntry(1, read));
    EXPECT_EQ(FixedText(read.address), "9.9.9.9");
    EXPECT_EQ(read.bantime, moment - 59);
    EXPECT_EQ(FixedText(read.channelpath), "/a/b/");
    EXPECT_EQ(FixedText(read.nickname).size(), 511u);
    EXPECT_EQ(read.userid, 77);
}

TEST_F(PersistenceTest, FilesListMirrorsTheTreeAndPrunesEmptyChannels) {
    FilesList files;
    ASSERT_TRUE(files.CreateXMLFile(Path("FilesList.xml")));
    std::vector<FileEntry> none;
    files.GetChannelElement("/a/b/");
    files.ReadFileEntries("/a/b/", none);
    EXPECT_TRUE(none.empty());
    EXPECT_NE(Read(Path("FilesList.xml")).find("<channel name=\"a\">\n            <channel name=\"b\" />"),
              std::string::npos);

    FileEntry first;
    first.name = "song";
    first.internalname = "data_1.dat";
    first.filesize = 5000000000LL;
    FileEntry second = first;
    second.internalname = "data_2.dat";
    files.AddFileEntry("/a/b/", first);
    files.AddFileEntry("/a/b/", second);  // same name: replaces
    files.AddFileEntry("/A/", first);     // names are exact: another channel
    std::vector<FileEntry> listed;
    files.ReadFileEntries("/a/b/", listed);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].internalname, "data_2.dat");
    EXPECT_EQ(listed[0].filesize, 5000000000LL);
    std::set<std::string> names;
    files.GetAllInternalNames(names);
    EXPECT_EQ(names, (std::set<std::string>{"data_1.dat", "data_2.dat"}));

    EXPECT_TRUE(files.RemoveFileEntry("/a/b/", "absent"));
    EXPECT_TRUE(files.RemoveFileEntry("/a/b/", "song"));
    EXPECT_TRUE(files.RemoveFileEntry("/A/", "song"));
    EXPECT_EQ(Read(Path("FilesList.xml")),
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<fileslist version=\"1.0\">\n"
              "    <channel name=\"\" />\n</fileslist>\n");
}

TEST_F(PersistenceTest, StaticChannelsMoveBetweenTheTreeAndTheTable) {
    ACE_Reactor reactor(new ACE_Select_Reactor, true);
    ServerNode node(&reactor, &reactor, nullptr, false);
    node.Channels().UserMakeChannel("/x/", "p", "tx", true, 5);
    node.Channels().UserMakeChannel("/y/", "", "", true, 0);
    node.Channels().UserMakeChannel("/x/z/", "", "", true, 0);
    node.Channels().UserMakeChannel("/x/temp/", "", "", false, 0);
    node.Channels().UserMakeChannel("/x/temp/static/", "", "", true, 0);
    node.Channels().UserUpdateChannel("/", "", "root topic", true, 9);

    StaticChannelTable table;
    CollectStaticChannels(node.Channels().GetRootChannel(), table, true);
    ASSERT_EQ(table.size(), 4u);  // root, x, y, z: nothing at or below the non-static one
    EXPECT_EQ(BuildChannelPath(1, table), "/");
    EXPECT_EQ(BuildChannelPath(2, table), "/x/");
    EXPECT_EQ(BuildChannelPath(3, table), "/y/");
    EXPECT_EQ(BuildChannelPath(4, table), "/x/z/");
    EXPECT_EQ(BuildChannelPath(99, table), "");
    EXPECT_EQ(FixedText(table[1].topic), "root topic");
    EXPECT_EQ(table[1].diskquota, 9);

    ServerNode copy(&reactor, &reactor, nullptr, false);
    ApplyStaticChannels(copy, table);
    StaticChannelTable again;
    CollectStaticChannels(copy.Channels().GetRootChannel(), again, false);
    ASSERT_EQ(again.size(), 4u);
    for (int32_t id = 1; id <= 4; ++id) {
        EXPECT_EQ(BuildChannelPath(id, again), BuildChannelPath(id, table));
        EXPECT_EQ(FixedText(again[id].password), FixedText(table[id].password));
        EXPECT_EQ(again[id].diskquota, table[id].diskquota);
    }
    EXPECT_TRUE(copy.Channels().FindChannel("/x/z/")->IsStaticChannel());
}

// Channels the node cannot make are answered with why and written back by later saves
// under their parent, after the channels there; one whose parent went is not.
TEST_F(PersistenceTest, StaticChannelsThatCannotBeMadeAreKeptForTheSaves) {
    const std::string path = Path("QuorvaneService.xml");
    Write(path,
          "<?xml version=\"1.0\"?><quorvane><hosting><static-channels>"
          "<channel><name>a</name><channel><name>sub</name></channel></channel>"
          "<channel><name>a</name><topic>twin</topic><channel><name>deep</name></channel></channel>"
          "<channel><name>x/y</name></channel><channel><name></name></channel>"
          "<channel><name>b</name><channel><name>bad</name><password>&#x01;</password></channel></channel>"
          "</static-channels></hosting></quorvane>");
    QuorvaneSettings settings;
    ASSERT_TRUE(settings.LoadXMLFile(path));
    StaticChannelTable table;
    ASSERT_TRUE(settings.ReadStaticChannels(table));
    ACE_Reactor reactor(new ACE_Select_Reactor, true);
    ServerNode node(&reactor, &reactor, nullptr, false);
    const SkippedStaticChannels skipped = ApplyStaticChannels(node, table);
    const struct {
        const char* path;
        const char* reason;
        size_t records;
    } expected[] = {
        {"/a/", "Channel already exists", 2},
        {"/x/y/", "The name holds a \"/\"", 1},
        {"//", "The name is empty", 1},
    };
    ASSERT_EQ(skipped.size(), 3u);
    for (size_t i = 0; i < skipped.size(); ++i) {
        EXPECT_EQ(skipped[i].path, expected[i].path);
        EXPECT_EQ(skipped[i].reason, expected[i].reason);
        EXPECT_EQ(skipped[i].records.size(), expected[i].records);
    }
    EXPECT_TRUE(node.Channels().FindChannel("/a/sub/"));
    EXPECT_FALSE(node.Channels().FindChannel("/a/deep/"));
    // Text is bytes: a control byte in a password is a password like any other.
    ASSERT_TRUE(node.Channels().FindChannel("/b/bad/"));
    EXPECT_EQ(node.Channels().FindChannel("/b/bad/")->GetPassword(), "\x01");

    // Saved, read again: the skipped ones stand where they stood.
    node.Channels().UserMakeChannel("/c/", "", "", true, 0);
    StaticChannelTable collected;
    CollectStaticChannels(node.Channels().GetRootChannel(), collected, true);
    AddSkippedChannels(collected, skipped);
    ASSERT_TRUE(settings.WriteStaticChannels(collected));
    QuorvaneSettings again;
    ASSERT_TRUE(again.LoadXMLFile(path));
    StaticChannelTable read;
    ASSERT_TRUE(again.ReadStaticChannels(read));
    std::vector<std::string> paths;
    for (const auto& entry : read) paths.push_back(BuildChannelPath(entry.first, read) + FixedText(entry.second.topic));
    EXPECT_EQ(paths, (std::vector<std::string>{"/", "/a/", "/b/", "/c/", "/a/twin", "/x/y/", "//", "/a/sub/", "/b/bad/",
                                               "/a/deep/"}));

    // Once /b/ is gone, what was skipped below it goes with it.
    node.Channels().UserRemoveChannel("/b/");
    collected.clear();
    CollectStaticChannels(node.Channels().GetRootChannel(), collected, true);
    AddSkippedChannels(collected, skipped);
    EXPECT_EQ(collected.size(), 8u);
}

TEST_F(PersistenceTest, DatesAre64BitAndAStoredFileKeepsItsUploadDate) {
    for (const int year : {1999, 2038, 2040, 2100, 2500}) {
        struct tm when = {};
        when.tm_year = year - 1900, when.tm_mon = 6, when.tm_mday = 4, when.tm_hour = 12, when.tm_min = 30;
        when.tm_isdst = -1;
        const int64_t moment = static_cast<int64_t>(mktime(&when));
        EXPECT_EQ(FormatDateTime(moment), std::to_string(year) + "/07/04 12:30");
        EXPECT_EQ(ParseDateTime(FormatDateTime(moment)), moment);
        BanList bans;
        std::remove(Path("BanList.xml").c_str());
        ASSERT_TRUE(bans.CreateXMLFile(Path("BanList.xml")));
        BanEntry ban{};
        ban.bantime = moment;
        bans.AddBanEntry(ban);
        std::vector<BanEntry> read;
        BanList again;
        ASSERT_TRUE(again.LoadXMLFile(Path("BanList.xml")));
        again.GetBanEntries(read);
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(read[0].bantime, moment);
    }

    // A listed file stored again (as start-up offers every file) keeps its date; a new
    // upload under that name, another data file, gets its own; a file without one, one.
    Write(Path("FilesList.xml"),
          "<?xml version=\"1.0\"?><fileslist version=\"1.0\"><channel name=\"\">"
          "<file name=\"old\"><internalname>data_1.dat</internalname><filesize>3</filesize>"
          "<upload-date>2001/02/03 04:05</upload-date></file>"
          "<file name=\"undated\"><internalname>data_2.dat</internalname></file>"
          "</channel></fileslist>");
    FilesList files;
    ASSERT_TRUE(files.LoadXMLFile(Path("FilesList.xml")));
    std::vector<FileEntry> listed;
    files.ReadFileEntries("/", listed);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(FormatDateTime(listed[0].uploaddate), "2001/02/03 04:05");
    EXPECT_EQ(listed[1].uploaddate, 0);
    const int64_t now = static_cast<int64_t>(time(nullptr));
    const struct {
        const char* name;
        const char* internalname;
        int64_t expected;
    } stores[] = {
        {"old", "data_1.dat", listed[0].uploaddate}, {"undated", "data_2.dat", now}, {"old", "data_9.dat", now}};
    for (const auto& store : stores) {
        FileEntry entry;
        entry.name = store.name;
        entry.internalname = store.internalname;
        entry.uploaddate = now;
        files.AddFileEntry("/", entry);
        listed.clear();
        files.ReadFileEntries("/", listed);
        for (const FileEntry& file : listed) {
            if (file.name != store.name) continue;
            EXPECT_EQ(file.uploaddate, store.expected - store.expected % 60) << store.name;
        }
    }
}

TEST_F(PersistenceTest, EventLogAppendsStampedLines) {
    struct tm when = {};
    when.tm_year = 126, when.tm_mon = 11, when.tm_mday = 6, when.tm_hour = 8, when.tm_min = 42, when.tm_sec = 24;
    when.tm_isdst = -1;
    struct timeval stamp = {mktime(&when), 123456};
    EXPECT_EQ(EventLog::Stamp(stamp), "Sun Dec  6 2026 08:42:24.123000");

    const std::string path = Path("QuorvaneService.log");
    Write(path, "earlier\n");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    EXPECT_TRUE(log.Write("one"));
    EXPECT_TRUE(log.Write("two"));
    log.Close();
    EXPECT_FALSE(log.Write("closed"));
    const std::string text = Read(path);
    EXPECT_EQ(text.substr(0, 8), "earlier\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_NE(text.find(" one\n"), std::string::npos);
}

// Every control, in whichever reading a log tool takes, is written out; other text stays
// as it came, and what is not UTF-8 is written out byte by byte.
TEST_F(PersistenceTest, EventLogQuotesWriteOutEveryControl) {
    const struct {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"Ann", "\"Ann\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"x\r\ny\tz\n", "\"x\\r\\ny\\tz\\n\""},
        {"\x1b[31mred\x7f", "\"\\x1b[31mred\\x7f\""},
        {"nel\x85 csi\x9b", "\"nel\\x85 csi\\x9b\""},                          // C1 as single bytes
        {"nel\xc2\x85 csi\xc2\x9b", "\"nel\\xc2\\x85 csi\\xc2\\x9b\""},        // and in UTF-8
        {"\xe2\x80\xa8|\xe2\x80\xa9", "\"\\xe2\\x80\\xa8|\\xe2\\x80\\xa9\""},  // line, paragraph separators
        {"\xe2\x80\xaegnp.exe", "\"\\xe2\\x80\\xaegnp.exe\""},                 // right-to-left override
        {"\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c",
         "\"\\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xd8\\x9c\""},
        {"caf\xc3\xa9 \xc3\x85 \xc2\xa0 \xe2\x80\xb0 \xf0\x9f\x98\x80",
         "\"caf\xc3\xa9 \xc3\x85 \xc2\xa0 \xe2\x80\xb0 \xf0\x9f\x98\x80\""},
        {"\xc0\x85 \xed\xa0\x80 \xe2\x80", "\"\\xc0\\x85 \\xed\\xa0\\x80 \\xe2\\x80\""},  // overlong, surrogate, cut
    };
    for (const auto& c : cases) EXPECT_EQ(EventLog::Quote(c.text), c.quoted) << c.text;
}

}  // namespace
