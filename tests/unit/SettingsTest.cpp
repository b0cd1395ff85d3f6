#include <algorithm>
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
#include "settings/SettingsCheck.h"
#include "settings/SettingsTable.h"
#include "settings/ValueRules.h"

using quorvane::QuorvaneSettings;
using quorvane::SettingRow;
using quorvane::SettingsCheck;
using quorvane::SettingsTable;
using quorvane::SettingValues;
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

    // Every setting of the document, which must have no problem.
    static SettingValues Values(QuorvaneSettings& settings) {
        SettingValues values;
        const SettingsCheck::Problems problems = SettingsCheck::Read(settings, values);
        EXPECT_TRUE(problems.empty()) << problems.front().Text();
        return values;
    }

    // The text of the first element of that name under <hosting>, as it stands.
    static std::string Raw(QuorvaneSettings& settings, const char* element) {
        std::string text;
        settings.GetString(settings.GetHostingElement(), element, text);
        return text;
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
    EXPECT_EQ(QuorvaneSettings::DefaultDocument().find_first_of("\r\n"), std::string::npos);

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
    const SettingValues values = Values(s);
    const std::pair<const char*, const char*> expected[] = {
        {"server-name", "Quorvane Server"},
        {"server-password", ""},
        {"root-topic", ""},
        {"root-diskquota", "0"},
        {"motd", ""},
        {"hostport", "10300"},
        {"soundport", "10301"},
        {"bind-ip", ""},
        {"max-users", "500"},
        {"allow-channel-creation", "true"},
        {"allow-operators", "true"},
        {"server-logging", "false"},
        {"admin-enabled", "false"},
        {"admin-username", ""},
        {"admin-password", ""},
        {"files-root", ""},
        {"channel-diskquota", "0"},
        {"command-rate", "20"},
        {"metrics-address", ""},
    };
    for (const auto& e : expected) EXPECT_EQ(values.Shown(*SettingsTable::Find(e.first)), e.second) << e.first;
    // Every setting is written, at the value the table gives, the retired ones not at all.
    for (const SettingRow& row : SettingsTable::ROWS) {
        const bool written = row.context != SettingRow::RETIRED;
        EXPECT_EQ(s.GetHostingElement()->FirstChildElement(row.element) != nullptr, written) << row.element;
        const std::string value = written && row.type != SettingRow::CHANNELS ? SettingsTable::Initial(row) : "";
        EXPECT_EQ(Raw(s, row.element), value) << row.element;
    }

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
    // The host's values for missing ports and user limit are the table's.
    const SettingValues values = Values(s);
    const std::pair<const char*, const char*> expected[] = {
        {"hostport", "10300"},       {"soundport", "10301"},
        {"max-users", "32767"},      {"allow-channel-creation", "true"},
        {"allow-operators", "true"}, {"server-logging", "false"},
        {"admin-enabled", "false"},  {"server-name", ""},
        {"root-diskquota", "0"},     {"max-connections-per-address", "64"},
        {"password-lockout", "10"},  {"login-timeout", "60"},
        {"max-channels", "10000"},
    };
    for (const auto& e : expected) EXPECT_EQ(values.Shown(*SettingsTable::Find(e.first)), e.second) << e.first;
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
    EXPECT_EQ(Values(bare).Number("hostport"), 10300);
}

// The document's own number reader is atoi's; the settings are read strictly.
TEST_F(SettingsTest, ValuesAreStrictAndEveryProblemHasItsLine) {
    QuorvaneSettings s;
    Load(s, Hosting("\n<other>abc</other>"));
    int value = 7;
    EXPECT_TRUE(s.GetInteger(s.GetHostingElement(), "other", value));
    EXPECT_EQ(value, 0);
    value = 7;
    EXPECT_FALSE(s.GetInteger(s.GetHostingElement(), "absent", value));
    EXPECT_EQ(value, 7);

    const struct {
        const char* element;
        const char* text;
        const char* problem;  // empty: taken as shown
        const char* shown;
    } cases[] = {
        {"hostport", " 42 ", "", "42"},
        {"soundport", " +42abc", "soundport is \"+42abc\"; it must be a number from 1 to 65535", "10301"},
        {"max-users", "99999999999", "max-users is \"99999999999\"; it must be a number from 0 to 2147483647", "32767"},
        {"root-diskquota", "-1", "root-diskquota is \"-1\"; it must be a number from 0 to 9223372036854775807", "0"},
        {"channel-diskquota", "9223372036854775807", "", "9223372036854775807"},
        {"max-files", "99999999999999999999",
         "max-files is \"99999999999999999999\"; it must be a number from 0 to 2147483647", "100000"},
        {"password-lockout", "ten", "password-lockout is \"ten\"; it must be a number from 0 to 2147483647", "10"},
        {"command-rate", "1.5", "command-rate is \"1.5\"; it must be a number from 0 to 2147483647", "20"},
        {"command-burst", "+7", "", "7"},
        {"login-timeout", "", "login-timeout is \"\"; it must be a number from 0 to 2147483", "60"},
        {"allow-operators", "FALSE", "", "false"},
        {"admin-enabled", "True", "", "true"},
        {"allow-channel-creation", "no", "allow-channel-creation is \"no\"; it must be true or false", "true"},
        {"server-logging", "yes", "server-logging is \"yes\"; it must be true or false", "false"},
    };
    std::string inner;
    for (const auto& c : cases) {
        inner += std::string("\n<") + c.element + ">" + c.text + "</" + c.element + ">";
        inner += std::string("<") + c.element + ">99</" + c.element + ">";  // a second one does not count
    }
    // Known from older files: never checked.
    inner += "\n<voice-logging>maybe</voice-logging><certificate-file/><privatekey-file>k</privatekey-file>";
    inner += "\n<comand-rate>5</comand-rate><comand-rate>6</comand-rate><totally-else/>";
    Load(s, Hosting(inner + "\n<static-channels><channel><name>a</name><diskquota>-2</diskquota>"
                            "<channel><name>b</name>\n<diskquota>lots</diskquota></channel></channel>"
                            "<channel><diskquota>nameless</diskquota></channel></static-channels>"));
    SettingValues values;
    const SettingsCheck::Problems problems = SettingsCheck::Read(s, values);
    std::vector<std::string> expected;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(values.Shown(*SettingsTable::Find(c.element)), c.shown) << c.element << " " << c.text;
        if (*c.problem) expected.push_back(std::to_string(i + 2) + ": " + c.problem);
    }
    const size_t after = sizeof(cases) / sizeof(cases[0]) + 2;
    expected.push_back(std::to_string(after + 1) +
                       ": comand-rate is no setting of this server (command-rate?); it is kept in the file and has no "
                       "effect (unknown)");
    expected.push_back(
        std::to_string(after + 1) +
        ": totally-else is no setting of this server; it is kept in the file and has no effect (unknown)");
    expected.push_back(std::to_string(after + 2) +
                       ": the diskquota of a static channel is -2; it must be a number from 0 to 9223372036854775807");
    expected.push_back(std::to_string(after + 3) +
                       ": the diskquota of a static channel is \"lots\"; it must be a number from 0 to "
                       "9223372036854775807");
    std::vector<std::string> found;
    for (const SettingsCheck::Problem& p : problems)
        found.push_back(std::to_string(p.line) + ": " + p.Text() + (p.unknown ? " (unknown)" : ""));
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(SettingsCheck::Refuses(problems));
    EXPECT_EQ(values.Channels().size(), 3u);  // the root, a and b; the nameless one is skipped

    // The host's own checks, by element; only a value its row takes is handed to them.
    Load(s, Hosting("<metrics-address>x</metrics-address><hostport>0</hostport>"));
    const SettingsCheck::Check refuse = [](const std::string& text) { return "it must not be " + text; };
    const SettingsCheck::Problems checked =
        SettingsCheck::Read(s, values, {{"metrics-address", refuse}, {"hostport", refuse}});
    ASSERT_EQ(checked.size(), 2u);
    EXPECT_EQ(checked[0].Text(), "metrics-address is \"x\"; it must not be x");
    EXPECT_EQ(checked[1].Text(), "hostport is \"0\"; it must be a number from 1 to 65535");
    EXPECT_FALSE(SettingsCheck::Refuses({{1, "x", "y", true}}));

    // At most MAX_PROBLEMS are told; the rest are counted, and still refuse the file.
    std::string many;
    for (int i = 0; i < 60; ++i) many += "<unknown" + std::to_string(i) + "/>";
    Load(s, Hosting(many + "<hostport>0</hostport>"));
    const SettingsCheck::Problems capped = SettingsCheck::Read(s, values);
    ASSERT_EQ(capped.size(), SettingsCheck::MAX_PROBLEMS + 1u);
    EXPECT_EQ(capped.back().Text(), "11 more problems are not told; only the first 50 are");
    EXPECT_TRUE(SettingsCheck::Refuses(capped));
    EXPECT_FALSE(SettingsCheck::Refuses(SettingsCheck::Problems(capped.begin(), capped.end() - 1)));
    EXPECT_EQ(SettingsCheck::Quote("a\"b\\\x01\n"), "\"a\\\"b\\\\\\x01\\x0A\"");
    EXPECT_EQ(SettingsCheck::Quote(std::string(70, 'a')), "\"" + std::string(64, 'a') + "\"... (70 bytes)");
}

// The values of commands that set what the file holds are held to the same ranges.
TEST_F(SettingsTest, CommandsAreHeldToTheRangesOfTheTable) {
    const struct {
        const char* name;
        int64_t value;
        bool taken;
    } cases[] = {
        {"diskquota", -1, false},          {"diskquota", INT64_MAX, true},
        {"filesize", -1, false},           {"filesize", 0, true},
        {"hostport", 65536, false},        {"hostport", 1, true},
        {"login-timeout", 2147484, false}, {"motd", -5, true},
        {"no-such-thing", -5, true},
    };
    for (const auto& c : cases) EXPECT_EQ(quorvane::ValueRules::InRange(c.name, c.value), c.taken) << c.name;
    EXPECT_EQ(SettingsTable::Describe(*SettingsTable::Find("max-users")),
              "max-users (a number from 0 to 2147483647; absent: 32767; first written as 500; a reload applies it): "
              "logged-in users, the administrator not counted");
    const std::string list = SettingsTable::List();
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'),
              static_cast<long>(SettingsTable::COUNT) - 1);  // not the retired voice-logging
    EXPECT_EQ(list.find("voice-logging"), std::string::npos);
}

// The README's list of settings is the table's: every one, in its order, at the value an
// absent element takes; the retired ones are named in its text.
TEST_F(SettingsTest, TheReadmeListsEverySettingAtItsDefault) {
    std::ifstream in(std::string(QUORVANE_SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    const std::string text = readme.str();
    const size_t section = text.find("\n## Configuration\n");
    const size_t begin = text.find("```xml\n", section);
    const size_t end = text.find("```\n", begin + 7);
    ASSERT_NE(section, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    TiXmlDocument document;
    document.Parse(text.substr(begin + 7, end - begin - 7).c_str());
    ASSERT_FALSE(document.Error()) << document.ErrorDesc();
    std::vector<std::string> listed, expected;
    for (const TiXmlElement* e = document.RootElement()->FirstChildElement("hosting")->FirstChildElement(); e;
         e = e->NextSiblingElement()) {
        const SettingRow* row = SettingsTable::Find(e->ValueStr());
        listed.push_back(e->ValueStr() +
                         (row && row->type == SettingRow::CHANNELS ? "" : "=" + QuorvaneSettings::GetElementText(e)));
    }
    for (const SettingRow& row : SettingsTable::ROWS) {
        if (row.context == SettingRow::RETIRED) {
            EXPECT_NE(text.find(std::string("`") + row.element + "`", section), std::string::npos) << row.element;
            continue;
        }
        expected.push_back(row.element +
                           (row.type == SettingRow::CHANNELS ? std::string() : std::string("=") + row.missing));
    }
    EXPECT_EQ(listed, expected);
}

TEST_F(SettingsTest, AnyRootElementIsAccepted) {
    QuorvaneSettings s;
    Load(s, "<config><hosting><hostport>1</hostport><server-name>N</server-name></hosting></config>");
    const SettingValues values = Values(s);
    EXPECT_EQ(values.Number("hostport"), 1);
    EXPECT_EQ(values.Text("server-name"), "N");
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
    EXPECT_EQ(Values(s).Text("root-topic"), "Lobby");
    EXPECT_EQ(Values(s).Text("server-name"), "Quorvane Server");
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
    // Where the fault begins, not where the parser noticed it (the next end tag, or the
    // end of the file).
    const std::string head = "<?xml version=\"1.0\"?>\n<quorvane>\n  <hosting>\n";
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<quorvane>\n  <hosting>\n</quorvane>\n",
         "<hosting> is not closed: the next end tag is </quorvane> on line 4. Line 3 column 3."},
        {head + "<password-lockout>ten\n<hostport>1</hostport>\n</hosting>\n</quorvane>\n",
         "<password-lockout> is not closed: the next end tag is </hosting> on line 6. Line 4 column 1."},
        {head + "<motd>a < b</motd>\n</hosting>\n</quorvane>\n", "A < starts no tag. Line 4 column 9."},
        {head + "<motd x=\"1>a</motd>\n</hosting>\n</quorvane>\n", "The tag <motd> has no >. Line 4 column 1."},
        {head + "<!-- x\n</hosting>\n</quorvane>\n", "A comment is not closed. Line 4 column 1."},
        {head + "</motd>\n</hosting>\n</quorvane>\n",
         "<hosting> is not closed: the next end tag is </motd> on line 4. Line 3 column 3."},
        {head + "<motd>x</motd>\n", "<hosting> is not closed. Line 3 column 3."},
    };
    QuorvaneSettings s;
    for (const auto& c : cases) {
        WriteFile(c.text);
        EXPECT_FALSE(s.LoadXMLFile(path_)) << c.text;
        EXPECT_TRUE(s.HasLoadError());
        EXPECT_EQ(s.GetErrorText(), c.error) << c.text;
    }

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
        EXPECT_TRUE(s.PutText("server-name", "Name & <Co>"));
        EXPECT_TRUE(s.PutText("server-password", "secret"));
        EXPECT_TRUE(s.PutText("motd", "hello"));
        EXPECT_TRUE(s.PutText("root-topic", "topic"));
        EXPECT_TRUE(s.PutText("admin-username", "admin"));
        EXPECT_TRUE(s.PutText("admin-password", "adminpw"));
        EXPECT_TRUE(s.PutText("files-root", "/srv/files"));
        EXPECT_TRUE(s.PutNumber("root-diskquota", 1LL << 40));
        EXPECT_TRUE(s.PutNumber("channel-diskquota", -5));
        EXPECT_TRUE(s.PutFlag("admin-enabled", true));
        EXPECT_TRUE(s.PutFlag("allow-operators", false));
        EXPECT_TRUE(s.PutFlag("allow-channel-creation", false));
    }
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);  // the rewrite keeps the file's permissions
    EXPECT_EQ(FilesInDirectory(), 1u);

    QuorvaneSettings s;
    ASSERT_TRUE(s.LoadXMLFile(path_));
    const std::pair<const char*, const char*> written[] = {
        {"server-name", "Name & <Co>"}, {"server-password", "secret"},       {"motd", "hello"},
        {"root-topic", "topic"},        {"admin-username", "admin"},         {"admin-password", "adminpw"},
        {"files-root", "/srv/files"},   {"root-diskquota", "1099511627776"}, {"channel-diskquota", "-5"},
        {"admin-enabled", "true"},      {"allow-operators", "false"},        {"allow-channel-creation", "false"},
    };
    for (const auto& w : written) EXPECT_EQ(Raw(s, w.first), w.second) << w.first;
    // Only the first element of a name is replaced.
    const TiXmlElement* second =
        s.GetHostingElement()->FirstChildElement("server-name")->NextSiblingElement("server-name");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(QuorvaneSettings::GetElementText(second), "second");

    // A save that cannot happen fails, and the tree in memory keeps the change.
    std::filesystem::remove_all(dir_);
    EXPECT_FALSE(s.PutText("motd", "unsaved"));
    EXPECT_EQ(Raw(s, "motd"), "unsaved");
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
    ASSERT_TRUE(s.PutText("motd", "m"));
    EXPECT_EQ(ReadFile().compare(0, 3, bom), 0);

    ASSERT_TRUE(s.LoadXMLFile(plainPath));
    ASSERT_TRUE(s.PutText("motd", "m"));
    std::ifstream in(plainPath, std::ios::binary);
    EXPECT_EQ(in.get(), '<');
}

}  // namespace
