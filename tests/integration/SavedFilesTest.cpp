// The server's own files after real restarts of the binary: what saveconfig writes and
// answers, text kept as bytes, static channels it cannot make, upload dates, the
// files' modes and what a kill -9 during saves leaves.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "RestartFixture.h"
#include "protocol/CommandLine.h"
#include "settings/BanList.h"
#include "settings/FilesList.h"
#include "settings/QuorvaneSettings.h"
#include "settings/StoredText.h"

namespace quorvane {
namespace test {
namespace {

class SavedFilesTest : public RestartFixture {
protected:
    mode_t Mode(const std::string& name) const {
        struct stat info;
        return stat(PathOf(name).c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
    }
    // The names in the directory that are temporary files of saves.
    std::vector<std::string> Temporaries() const {
        std::vector<std::string> names;
        DIR* directory = opendir(dir_.c_str());
        while (const struct dirent* entry = directory ? readdir(directory) : nullptr)
            if (std::string(entry->d_name).find(".xml.tmp-") != std::string::npos) names.push_back(entry->d_name);
        if (directory) closedir(directory);
        return names;
    }
    ServerConfig SharingConfig() {
        ServerConfig config = AdminConfig();
        mkdir(PathOf("files").c_str(), 0700);
        config.filesRoot = PathOf("files");
        config.channelDiskQuota = 1000000;
        return config;
    }
};

TEST_F(SavedFilesTest, AnEmptyBanListIsSavedWhole) {
    StartServer(AdminConfig());
    TestUser admin, ann;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    EXPECT_EQ(Send(admin, "ban userid=" + std::to_string(ann.id)), "ok");
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    EXPECT_NE(ReadFile("BanList.xml").find("address=\"127.0.0.1\""), std::string::npos);
    EXPECT_EQ(Send(admin, "unban address=\"127.0.0.1\""), "ok");
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    Restart();
    TestUser boss, bob;
    ASSERT_TRUE(ConnectAdmin(boss, "Admin", "s3cret"));
    EXPECT_EQ(Send(boss, "listbans"), "done");
    EXPECT_TRUE(ConnectAndLogin(bob, "bob"));
}

// A connection's answers come in its commands' order, also when one of them waits for the
// writer thread, and also when that save fails.
TEST_F(SavedFilesTest, AnswersComeInTheCommandsOrderWhileSavesAreWritten) {
    StartServer(AdminConfig());
    TestUser admin, ann;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ASSERT_EQ(Send(admin, "ban userid=" + std::to_string(ann.id)), "ok");
    const auto answers = [&](const std::string& commands, size_t count) {
        admin.tcp.Send(commands);
        std::vector<std::string> words;
        while (words.size() < count) {
            const std::string line = NextLine(admin.tcp);
            if (line.empty()) break;
            words.push_back(CommandWord(line) + (CommandWord(line) == "error" ? Param(line, "number") : ""));
        }
        return words;
    };
    EXPECT_EQ(answers("saveconfig\r\nping\r\nlistbans\r\nsaveconfig\r\nwhoami\r\nping\r\n", 7),
              (std::vector<std::string>{"ok", "pong", "userbanned", "done", "ok", "error206", "pong"}));

    // Every file of the server may now grow to 1 KiB only: the settings cannot be written.
    rlimit original;
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, nullptr, &original), 0);
    const rlimit limit = {1024, original.rlim_max};
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr), 0);
    Send(admin,
         "updateserver channels=1 operators=1 servername=\"" + std::string(2000, 'n') + "\" password=\"\" motd=\"\"");
    EXPECT_EQ(answers("saveconfig\r\nping\r\n", 2), (std::vector<std::string>{"error210", "pong"}));
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &original, nullptr), 0);
}

// Text is bytes: whatever a client sends but NUL (UTF-8, a single-byte code page, a lone
// lead byte, controls) reaches a member unchanged and comes back byte for byte after
// saveconfig and a restart, from every place the files keep text.
TEST_F(SavedFilesTest, TextIsBytesDeliveredAndKeptThroughARestart) {
    const std::string texts[] = {"plain",
                                 "caf\xc3\xa9 \xf0\x9f\x98\x80",
                                 "J\xf6rg",
                                 "\xe9t\xe9",
                                 "\x80 euro",
                                 "end\xc3",
                                 "del\x7f",
                                 "a\tb\x01",
                                 "  two  blanks ",
                                 "&#x41; <b> ]]>",
                                 "\xef\xbb\xbf starts with U+FEFF"};
    StartServer(SharingConfig());
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    const auto quoted = [](const std::string& value) { return "\"" + EscapeString(value) + "\""; };
    const auto channelOf = [&](size_t i) { return "/c" + std::to_string(i) + " " + texts[i] + "/"; };
    std::string all;  // the server-wide values hold every text at once
    for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i) {
        const std::string& text = texts[i];
        all += text + "|";
        admin.tcp.Send("makechannel channel=" + quoted(channelOf(i)) + " password=" + quoted(text) +
                       " topic=" + quoted(text) + " diskquota=1000\r\n");
        EXPECT_EQ(Param(SkipUntil(admin.tcp, "addchannel"), "topic"), text);
        TestUser member("127.0.0.1"), sender("127.0.0." + std::to_string(10 + i));
        ASSERT_TRUE(ConnectAndLogin(member, "member"));
        ASSERT_TRUE(ConnectAndLogin(sender, EscapeString(text)));
        for (TestUser* user : {&member, &sender}) {
            user->tcp.Send("join channel=" + quoted(channelOf(i)) + " password=" + quoted(text) + "\r\n");
            SkipUntil(user->tcp, "done");
        }
        EXPECT_EQ(Param(SkipUntil(member.tcp, "adduser"), "nickname"), text);
        sender.tcp.Send("changestatus statusmode=0 statusmessage=" + quoted(text) + "\r\n");
        EXPECT_EQ(Param(SkipUntil(member.tcp, "updateuser"), "statusmessage"), text);
        sender.tcp.Send("message type=2 channel=\"\" content=" + quoted(text) + "\r\n");
        EXPECT_EQ(Param(SkipUntil(member.tcp, "messagedeliver"), "content"), text);
        ASSERT_TRUE(SendFile(sender, EscapeString(channelOf(i)), EscapeString(text), "data"));
        EXPECT_EQ(Param(SkipUntil(member.tcp, "addfile"), "filename"), text);
        EXPECT_EQ(Send(admin, "ban userid=" + std::to_string(sender.id)), "ok");
    }
    Send(admin, "updateserver channels=1 operators=1 servername=" + quoted(all) + " password=" + quoted(all) +
                    " motd=" + quoted(all));
    EXPECT_EQ(Send(admin, "updateadmin username=\"Boss\" password=" + quoted(all)), "ok");
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");

    Restart();
    TestUser user;
    ASSERT_TRUE(ConnectAndLogin(user, "late", EscapeString(all)));
    EXPECT_EQ(Param(user.welcome, "servername"), all);
    EXPECT_EQ(Param(user.welcome, "motd"), all);
    TestUser boss;
    std::vector<std::string> listing;
    ASSERT_TRUE(ConnectAdmin(boss, "Boss", EscapeString(all), &listing));
    boss.tcp.Send("listbans\r\n");
    std::vector<std::string> bans;
    for (std::string line = NextLine(boss.tcp); line != "done"; line = NextLine(boss.tcp)) bans.push_back(line);
    for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i) {
        const std::string& text = texts[i];
        bool channel = false, file = false, ban = false;
        for (const std::string& line : listing) {
            if (CommandWord(line) == "addchannel" && Param(line, "channel") == channelOf(i))
                channel = Param(line, "topic") == text && Param(line, "password") == text;
            file = file || (CommandWord(line) == "addfile" && Param(line, "channel") == channelOf(i) &&
                            Param(line, "filename") == text);
        }
        for (const std::string& line : bans)
            ban = ban || (Param(line, "nickname") == text && Param(line, "channel") == channelOf(i));
        EXPECT_TRUE(channel && file && ban) << testing::PrintToString(text);
    }
    for (const char* name : {"QuorvaneService.xml", "FilesList.xml", "BanList.xml"})
        EXPECT_TRUE(StoredText::IsPlain(ReadFile(name))) << name << " is not UTF-8 that XML allows";
}

TEST_F(SavedFilesTest, StaticChannelsThatCannotBeMadeAreReportedAndKept) {
    ServerConfig config = AdminConfig();
    config.serverLogging = true;
    config.staticChannels =
        "<channel><name>a</name></channel><channel><name>a</name><topic>twin</topic>"
        "<channel><name>below</name></channel></channel><channel><name>x/y</name></channel>";
    StartServer(config);
    const std::string reports[] = {
        "Quorvane service could not make the static channel /a/: Channel already exists. It stays in the settings "
        "file.",
        "Quorvane service could not make the static channel /x/y/: The name holds a \"/\". It stays in the settings "
        "file."};
    for (const std::string& report : reports) {
        EXPECT_NE(ServerErrors().find(report), std::string::npos) << ServerErrors();
        EXPECT_NE(ReadFile("QuorvaneService.log").find(report), std::string::npos);
    }
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    const std::string saved = ReadFile("QuorvaneService.xml");
    EXPECT_NE(saved.find("<topic>twin</topic>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<name>below</name>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<name>x/y</name>"), std::string::npos) << saved;
    Restart();
    for (const std::string& report : reports) EXPECT_NE(ServerErrors().find(report), std::string::npos);
}

TEST_F(SavedFilesTest, UploadDatesSurviveRestarts) {
    const ServerConfig config = SharingConfig();
    WriteFile("files/data_1.dat", "old");
    WriteFile("files/data_2.dat", "undated");
    WriteFile("FilesList.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?><fileslist version=\"1.0\"><channel name=\"\">"
              "<file name=\"old\"><internalname>data_1.dat</internalname><filesize>3</filesize>"
              "<upload-date>2001/02/03 04:05</upload-date></file>"
              "<file name=\"undated\"><internalname>data_2.dat</internalname><filesize>7</filesize></file>"
              "</channel></fileslist>");
    StartServer(config);
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    const std::string first = ReadFile("FilesList.xml");
    EXPECT_NE(first.find("<upload-date>2001/02/03 04:05</upload-date>"), std::string::npos) << first;
    EXPECT_EQ(first.find("<upload-date>2001"), first.rfind("<upload-date>2001"));  // the undated got today's
    for (int restart = 0; restart < 2; ++restart) {
        Restart();
        TestUser again;
        ASSERT_TRUE(ConnectAdmin(again, "Admin", "s3cret"));
        EXPECT_EQ(Send(again, "saveconfig"), "ok");
        EXPECT_EQ(ReadFile("FilesList.xml"), first);
    }
}

TEST_F(SavedFilesTest, FilesArePrivateWhateverTheUmask) {
    const mode_t original = umask(0);
    for (const mode_t mask : {0000, 0277}) {
        for (const char* name : {"BanList.xml", "FilesList.xml", "QuorvaneService.log"})
            std::remove(PathOf(name).c_str());
        ServerConfig config = AdminConfig();
        config.serverLogging = true;
        umask(mask);
        StartServer(config);
        umask(original);
        chmod(PathOf("QuorvaneService.xml").c_str(), 0644);  // as an earlier version left it
        TestUser admin;
        ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
        EXPECT_EQ(Send(admin, "saveconfig"), "ok");
        EXPECT_EQ(Mode("QuorvaneService.xml"), 0600u) << mask;
        EXPECT_EQ(Mode("BanList.xml"), 0600u) << mask;
        EXPECT_EQ(Mode("FilesList.xml"), 0600u) << mask;
        EXPECT_EQ(Mode("QuorvaneService.log"), 0640u) << mask;
        ASSERT_EQ(StopServer(), EXIT_CLEAN_STOP);
    }
    umask(original);
}

// Killed at different moments of a stream of saves of a large settings file: every
// file still loads, a temporary file left behind is the owner's only, and the next
// start removes it (and one planted as a crash of another run would leave it).
TEST_F(SavedFilesTest, KilledDuringSavesLeavesLoadableFilesAndNoLeftovers) {
    ServerConfig config = AdminConfig();
    for (int i = 0; i < 400; ++i)
        config.staticChannels +=
            "<channel><name>c" + std::to_string(i) + "</name><topic>" + std::string(200, 't') + "</topic></channel>";
    StartServer(config);
    for (int round = 0; round < 8; ++round) {
        TestUser admin;
        ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
        std::string burst;
        for (int i = 0; i < 20; ++i) burst += "saveconfig\r\n";
        admin.tcp.Send(burst);
        for (int answered = 0; answered < round; ++answered) SkipUntil(admin.tcp, "ok");
        EXPECT_EQ(StopServer(SIGKILL), -1);
        QuorvaneSettings settings;
        BanList bans;
        FilesList files;
        EXPECT_TRUE(settings.LoadXMLFile(PathOf("QuorvaneService.xml"))) << settings.GetErrorText();
        EXPECT_TRUE(bans.LoadXMLFile(PathOf("BanList.xml"))) << bans.GetErrorText();
        EXPECT_TRUE(files.LoadXMLFile(PathOf("FilesList.xml"))) << files.GetErrorText();
        for (const std::string& name : Temporaries()) EXPECT_EQ(Mode(name), 0600u) << name;
        WriteFile("QuorvaneService.xml.tmp-4194999-0", "<admin-password>s3cret</admin-password>");
        Launch();
        WaitUntilListening(tcpPort_, udpPort_);
        EXPECT_EQ(Temporaries(), std::vector<std::string>()) << round;
    }
}

}  // namespace
}  // namespace test
}  // namespace quorvane
