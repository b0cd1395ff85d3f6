#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/QuorvaneSettings.h"

using quorvane::QuorvaneSettings;
using quorvane::StaticChannelRecord;
using quorvane::StaticChannelTable;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/QuorvaneService.xml";
    }

    void TearDown() override { std::filesystem::remove_all(dir_); }

    void WriteFile(const std::string& text, const std::string& path = std::string()) {
        std::ofstream out(path.empty() ? path_ : path, std::ios::binary);
        out << text;
    }

    std::string ReadFile() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // Writes text as the settings file and loads it into settings.
    void Load(QuorvaneSettings& settings, const std::string& text) {
        WriteFile(text);
        ASSERT_TRUE(settings.LoadXMLFile(path_)) << settings.GetErrorText();
    }

    size_t FilesInDirectory() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) count += entry.exists() ? 1 : 0;
        return count;
    }

    std::string dir_;
    std::string path_;
};

std::string Hosting(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><quorvane version=\"3.3\"><hosting>" + inner +
           "</hosting></quorvane>";
}

TEST_F(SettingsTest, CreatedFileReadsBackAsTheDefaults) {
    EXPECT_STREQ(QuorvaneSettings::MINIMAL_DOCUMENT,
                 "<?xml version=\"1.0\" encoding=\"utf-8\"?><quorvane version=\"3.3\"></quorvane>");
    EXPECT_EQ(std::string(QuorvaneSettings::DEFAULT_DOCUMENT).find_first_of("\r\n"), std::string::npos);

    {
        QuorvaneSettings created;
        ASSERT_TRUE(created.CreateXMLFile(path_));
        EXPECT_EQ(created.GetFileName(), path_);
        ASSERT_TRUE(created.SetDefaultSettings());
    }
    EXPECT_EQ(FilesInDirectory(), 1u);  // no temporary file left behind
    EXPECT_EQ(ReadFile().compare(0, 5, "<?xml"), 0);

    QuorvaneSettings s;
    ASSERT_TRUE(s.LoadXMLFile(path_));
    EXPECT_EQ(s.GetServerName(), "Quorvane Server");
    EXPECT_EQ(s.GetServerPassword(), "");
    EXPECT_EQ(s.GetRootTopic(), "");
    EXPECT_EQ(s.GetRootDiskQuota(), 0);
    EXPECT_EQ(s.GetMotd(), "");
    EXPECT_EQ(s.GetHostPort(), 10300);
    EXPECT_EQ(s.GetSoundPort(), 10301);
    EXPECT_EQ(s.GetBindIP(), "");
    EXPECT_EQ(s.GetMaxUsers(), 500);
    EXPECT_TRUE(s.GetAllowChannelCreation());
    EXPECT_TRUE(s.GetAllowOperators());
    EXPECT_FALSE(s.GetServerLogging());
    EXPECT_FALSE(s.GetAdminEnabled());
    EXPECT_EQ(s.GetAdminUsername(), "");
    EXPECT_EQ(s.GetAdminPassword(), "");
    EXPECT_EQ(s.GetFilesRoot(), "");
    EXPECT_EQ(s.GetChannelDiskQuota(), 0);

    // The example channel is only a comment: the root alone.
    StaticChannelTable table;
    ASSERT_TRUE(s.ReadStaticChannels(table));
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[1].parentid, 0);
}

TEST_F(SettingsTest, CreateNeverReplacesAFileItCouldNotRead) {
    WriteFile("user's settings");
    chmod(path_.c_str(), 0);
    QuorvaneSettings s;
    EXPECT_FALSE(s.CreateXMLFile(path_));
    EXPECT_FALSE(s.SetDefaultSettings());  // no file name was taken over
    chmod(path_.c_str(), 0600);
    EXPECT_EQ(ReadFile(), "user's settings");
    EXPECT_FALSE(s.CreateXMLFile(dir_ + "/missing/QuorvaneService.xml"));
}

TEST_F(SettingsTest, MinimalDocumentGivesTheMissingValues) {
    QuorvaneSettings s;
    ASSERT_TRUE(s.CreateXMLFile(path_));
    const std::string before = ReadFile();
    EXPECT_EQ(s.GetHostPort(), -1);
    EXPECT_EQ(s.GetSoundPort(), -1);
    EXPECT_EQ(s.GetMaxUsers(), -1);
    EXPECT_TRUE(s.GetAllowChannelCreation());
    EXPECT_TRUE(s.GetAllowOperators());
    EXPECT_FALSE(s.GetServerLogging());
    EXPECT_FALSE(s.GetAdminEnabled());
    EXPECT_EQ(s.GetServerName(), "");
    EXPECT_EQ(s.GetRootDiskQuota(), 0);
    EXPECT_EQ(s.GetMaxConnectionsPerAddress(), 64);
    EXPECT_EQ(s.GetPasswordLockout(), 10);
    EXPECT_EQ(s.GetLoginTimeout(), 60);
    EXPECT_EQ(s.GetMaxChannels(), 10000);
    StaticChannelTable table;
    EXPECT_TRUE(s.ReadStaticChannels(table));
    EXPECT_TRUE(table.empty());
    // The <hosting> the getters added lives in memory only.
    EXPECT_EQ(ReadFile(), before);

    // A document without any element gets a <quorvane> root.
    QuorvaneSettings bare;
    Load(bare, "<?xml version=\"1.0\"?><!-- nothing -->");
    ASSERT_NE(bare.GetRootElement(), nullptr);
    EXPECT_STREQ(bare.GetRootElement()->Value(), "quorvane");
    EXPECT_STREQ(bare.GetRootElement()->Attribute("version"), "3.3");
    EXPECT_EQ(bare.GetHostPort(), -1);
}

TEST_F(SettingsTest, NumbersAreReadLikeAtoi) {
    QuorvaneSettings s;
    Load(s, Hosting("<hostport></hostport><soundport> +42abc</soundport><max-users>99999999999</max-users>"
                    "<root-diskquota>-123456789012</root-diskquota><channel-diskquota>x1</channel-diskquota>"
                    "<other>abc</other>"));
    EXPECT_EQ(s.GetHostPort(), 0);
    EXPECT_EQ(s.GetSoundPort(), 42);
    EXPECT_EQ(s.GetMaxUsers(), INT_MAX);
    EXPECT_EQ(s.GetRootDiskQuota(), -123456789012LL);
    EXPECT_EQ(s.GetChannelDiskQuota(), 0);
    int value = 7;
    EXPECT_TRUE(s.GetInteger(s.GetHostingElement(), "other", value));
    EXPECT_EQ(value, 0);
    value = 7;
    EXPECT_FALSE(s.GetInteger(s.GetHostingElement(), "absent", value));
    EXPECT_EQ(value, 7);
}

TEST_F(SettingsTest, BooleansIgnoreCaseAndFallBackToTheirDefault) {
    QuorvaneSettings s;
    Load(s, Hosting("<allow-operators>FALSE</allow-operators><allow-channel-creation>no</allow-channel-creation>"
                    "<admin-enabled>True</admin-enabled><server-logging>yes</server-logging>"
                    "<voice-logging>TRUE</voice-logging>"));
    EXPECT_FALSE(s.GetAllowOperators());
    EXPECT_TRUE(s.GetAllowChannelCreation());
    EXPECT_TRUE(s.GetAdminEnabled());
    EXPECT_FALSE(s.GetServerLogging());
}

TEST_F(SettingsTest, AnyRootElementIsAccepted) {
    QuorvaneSettings s;
    Load(s, "<config><hosting><hostport>1</hostport><server-name>N</server-name></hosting></config>");
    EXPECT_EQ(s.GetHostPort(), 1);
    EXPECT_EQ(s.GetServerName(), "N");
}

TEST_F(SettingsTest, StaticChannelsAreNumberedBreadthFirst) {
    const std::string longTopic(600, 'r');
    const std::string longName(600, 'z');
    QuorvaneSettings s;
    Load(s, Hosting("<root-topic>" + longTopic +
                    "</root-topic><root-diskquota>100</root-diskquota>"
                    "<static-channels>"
                    "<channel><name>X</name><password>px</password><diskquota>5</diskquota>"
                    "<channel><name>" +
                    longName +
                    "</name><topic>tz</topic></channel></channel>"
                    "<channel><password>nameless</password><channel><name>Lost</name></channel></channel>"
                    "<channel><name>Y</name></channel>"
                    "</static-channels>"));
    StaticChannelTable table;
    ASSERT_TRUE(s.ReadStaticChannels(table));
    ASSERT_EQ(table.size(), 4u);

    EXPECT_EQ(table[1].parentid, 0);
    EXPECT_STREQ(table[1].name, "");
    EXPECT_EQ(std::string(table[1].topic), longTopic.substr(0, 511));
    EXPECT_EQ(table[1].diskquota, 100);

    EXPECT_STREQ(table[2].name, "X");
    EXPECT_EQ(table[2].parentid, 1);
    EXPECT_STREQ(table[2].password, "px");
    EXPECT_EQ(table[2].diskquota, 5);

    EXPECT_STREQ(table[3].name, "Y");
    EXPECT_EQ(table[3].parentid, 1);
    EXPECT_EQ(table[3].diskquota, 0);

    EXPECT_EQ(std::string(table[4].name), longName.substr(0, 511));
    EXPECT_EQ(table[4].parentid, 2);
    EXPECT_STREQ(table[4].topic, "tz");
    EXPECT_EQ(table[4].diskquota, 0);
}

StaticChannelRecord Record(int32_t id, int32_t parentid, const char* name, const char* password, const char* topic,
                           int64_t diskquota) {
    StaticChannelRecord record{};
    record.id = id;
    record.parentid = parentid;
    strcpy(record.name, name);
    strcpy(record.password, password);
    strcpy(record.topic, topic);
    record.diskquota = diskquota;
    return record;
}

TEST_F(SettingsTest, StaticChannelTableSurvivesWriteAndRead) {
    StaticChannelTable written;
    written[1] = Record(1, 0, "", "", "Lobby", 0);
    written[2] = Record(2, 1, "A", "p&<>\"'", "", 0);
    written[3] = Record(3, 1, "B", "", "about B", 3);
    written[4] = Record(4, 2, "A1", "", "", 7);
    written[5] = Record(5, 3, "B1", "", "", 0);
    {
        QuorvaneSettings s;
        ASSERT_TRUE(s.CreateXMLFile(path_));
        ASSERT_TRUE(s.SetDefaultSettings());
        ASSERT_TRUE(s.WriteStaticChannels(written));
        const std::string first = ReadFile();
        ASSERT_TRUE(s.WriteStaticChannels(written));
        EXPECT_EQ(ReadFile(), first);  // saving twice gives the same file
    }
    QuorvaneSettings s;
    ASSERT_TRUE(s.LoadXMLFile(path_));
    EXPECT_EQ(s.GetRootTopic(), "Lobby");
    EXPECT_EQ(s.GetServerName(), "Quorvane Server");
    StaticChannelTable read;
    ASSERT_TRUE(s.ReadStaticChannels(read));
    ASSERT_EQ(read.size(), written.size());
    for (const auto& entry : written) {
        const StaticChannelRecord& expected = entry.second;
        const StaticChannelRecord& actual = read[entry.first];
        EXPECT_EQ(actual.id, expected.id);
        EXPECT_EQ(actual.parentid, expected.parentid);
        EXPECT_STREQ(actual.name, expected.name);
        EXPECT_STREQ(actual.password, expected.password);
        EXPECT_EQ(std::string(actual.topic), entry.first == 1 ? "Lobby" : expected.topic);
        EXPECT_EQ(actual.diskquota, entry.first == 1 ? 0 : expected.diskquota);
    }

    // A record whose own id is its parent's is written once, not forever.
    StaticChannelTable looping = written;
    looping[6] = Record(2, 2, "Loop", "", "", 0);
    ASSERT_TRUE(s.WriteStaticChannels(looping));
    StaticChannelTable reread;
    ASSERT_TRUE(s.ReadStaticChannels(reread));
    EXPECT_EQ(reread.size(), 6u);
}

TEST_F(SettingsTest, BrokenFileReportsWhereItBroke) {
    QuorvaneSettings s;
    WriteFile("<?xml version=\"1.0\"?>\n<quorvane>\n  <hosting>\n</quorvane>\n");
    EXPECT_FALSE(s.LoadXMLFile(path_));
    EXPECT_TRUE(s.HasLoadError());
    EXPECT_EQ(s.GetErrorText(), "Error reading end tag.. Line 4 column 1.");

    EXPECT_FALSE(s.LoadXMLFile(dir_ + "/absent.xml"));
    EXPECT_EQ(s.GetErrorText(), "Cannot open the file: No such file or directory.");
    EXPECT_FALSE(s.LoadXMLFile(dir_));  // a directory is no settings file
    EXPECT_TRUE(s.HasLoadError());

    Load(s, QuorvaneSettings::MINIMAL_DOCUMENT);
    EXPECT_FALSE(s.HasLoadError());
}

TEST_F(SettingsTest, SettersWriteThroughToTheFile) {
    {
        QuorvaneSettings s;
        Load(s, Hosting("<server-name>old</server-name><server-name>second</server-name>"));
        chmod(path_.c_str(), 0640);
        EXPECT_TRUE(s.SetServerName("Name & <Co>"));
        EXPECT_TRUE(s.SetServerPassword("secret"));
        EXPECT_TRUE(s.SetMotd("hello"));
        EXPECT_TRUE(s.SetRootTopic("topic"));
        EXPECT_TRUE(s.SetAdminUsername("admin"));
        EXPECT_TRUE(s.SetAdminPassword("adminpw"));
        EXPECT_TRUE(s.SetFilesRoot("/srv/files"));
        EXPECT_TRUE(s.SetRootDiskQuota(1LL << 40));
        EXPECT_TRUE(s.SetChannelDiskQuota(-5));
        EXPECT_TRUE(s.SetAdminEnabled(true));
        EXPECT_TRUE(s.SetAllowOperators(false));
        EXPECT_TRUE(s.SetAllowChannelCreation(false));
    }
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);  // the rewrite keeps the file's permissions
    EXPECT_EQ(FilesInDirectory(), 1u);

    QuorvaneSettings s;
    ASSERT_TRUE(s.LoadXMLFile(path_));
    EXPECT_EQ(s.GetServerName(), "Name & <Co>");
    EXPECT_EQ(s.GetServerPassword(), "secret");
    EXPECT_EQ(s.GetMotd(), "hello");
    EXPECT_EQ(s.GetRootTopic(), "topic");
    EXPECT_EQ(s.GetAdminUsername(), "admin");
    EXPECT_EQ(s.GetAdminPassword(), "adminpw");
    EXPECT_EQ(s.GetFilesRoot(), "/srv/files");
    EXPECT_EQ(s.GetRootDiskQuota(), 1LL << 40);
    EXPECT_EQ(s.GetChannelDiskQuota(), -5);
    EXPECT_TRUE(s.GetAdminEnabled());
    EXPECT_FALSE(s.GetAllowOperators());
    EXPECT_FALSE(s.GetAllowChannelCreation());
    // Only the first element of a name is replaced.
    const TiXmlElement* second =
        s.GetHostingElement()->FirstChildElement("server-name")->NextSiblingElement("server-name");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(QuorvaneSettings::GetElementText(second), "second");

    // A save that cannot happen fails, and the tree in memory keeps the change.
    std::filesystem::remove_all(dir_);
    EXPECT_FALSE(s.SetMotd("unsaved"));
    EXPECT_EQ(s.GetMotd(), "unsaved");
}

TEST_F(SettingsTest, ReplaceOrAppendMatchesEveryAttribute) {
    QuorvaneSettings s;
    Load(s, "<bans><ban address=\"1\" note=\"a\"/><ban address=\"2\"/></bans>");
    TiXmlElement* root = s.GetRootElement();

    TiXmlElement second("ban");
    second.SetAttribute("address", "2");
    second.LinkEndChild(new TiXmlText("replaced"));
    TiXmlElement* placed = s.ReplaceOrAppendElement(root, second);
    ASSERT_NE(placed, nullptr);
    EXPECT_EQ(QuorvaneSettings::GetElementText(placed), "replaced");

    TiXmlElement third("ban");
    third.SetAttribute("address", "1");
    third.SetAttribute("note", "b");  // differs from the first ban: appended
    s.ReplaceOrAppendElement(root, third);

    TiXmlElement plain("ban");
    plain.LinkEndChild(new TiXmlText("first"));  // no attributes: takes the first place
    s.ReplaceOrAppendElement(root, plain);

    QuorvaneSettings reloaded;
    ASSERT_TRUE(reloaded.LoadXMLFile(path_));
    std::vector<std::string> seen;
    for (const TiXmlElement* ban = reloaded.GetRootElement()->FirstChildElement("ban"); ban;
         ban = ban->NextSiblingElement("ban")) {
        const char* note = ban->Attribute("note");
        seen.push_back(QuorvaneSettings::GetElementText(ban) + "|" + (note ? note : ""));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"first|", "replaced|", "|b"}));
}

TEST_F(SettingsTest, ByteOrderMarkIsKeptOnlyWhenTheLoadedFileHadOne) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string plainPath = dir_ + "/plain.xml";
    WriteFile(QuorvaneSettings::MINIMAL_DOCUMENT, plainPath);

    QuorvaneSettings s;
    Load(s, bom + QuorvaneSettings::MINIMAL_DOCUMENT);
    ASSERT_TRUE(s.SetMotd("m"));
    EXPECT_EQ(ReadFile().compare(0, 3, bom), 0);

    ASSERT_TRUE(s.LoadXMLFile(plainPath));
    ASSERT_TRUE(s.SetMotd("m"));
    std::ifstream in(plainPath, std::ios::binary);
    EXPECT_EQ(in.get(), '<');
}

}  // namespace
