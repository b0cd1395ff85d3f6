// What the server keeps across restarts (settings, static channels, bans, shared files),
// how it treats broken or invalid files at start-up, and the event log.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "RestartFixture.h"

namespace quorvane {
namespace test {
namespace {

typedef RestartFixture RestartTest;

TEST_F(RestartTest, FirstStartCreatesTheListsAndBrokenListsAreKeptAside) {
    StartServer();
    EXPECT_NE(ReadFile("BanList.xml").find("<!-- example begin"), std::string::npos);
    EXPECT_EQ(ReadFile("FilesList.xml"),
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<fileslist version=\"1.0\" />\n");
    ASSERT_EQ(StopServer(), EXIT_CLEAN_STOP);

    WriteFile("BanList.xml", "<banlist><serverbans>");
    WriteFile("FilesList.xml", "<fileslist");
    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
    EXPECT_NE(ServerErrors().find("Quorvane service failed to read ban-list file: "), std::string::npos);
    EXPECT_NE(ServerErrors().find("Quorvane service failed to read files-list file: "), std::string::npos);
    EXPECT_EQ(ReadFile("BanList.xml.broken"), "<banlist><serverbans>");
    EXPECT_EQ(ReadFile("FilesList.xml.broken"), "<fileslist");
    EXPECT_NE(ReadFile("BanList.xml").find("<!-- example begin"), std::string::npos);
}

TEST_F(RestartTest, UnusableSettingsStopStartUp) {
    const std::string hosting = "<?xml version=\"1.0\"?><quorvane><hosting>";
    const struct {
        std::string document;
        std::string message;
    } cases[] = {
        {"<?xml version=\"1.0\"?>", "The document has no root element."},
        {"<?xml version=\"1.0\"?><!DOCTYPE quorvane>", "The document has no root element."},
        {hosting + "<hostport>65536</hostport></hosting></quorvane>",
         "hostport is \"65536\"; it must be a number from 1 to 65535."},
        {hosting + "<soundport></soundport></hosting></quorvane>",
         "soundport is \"\"; it must be a number from 1 to 65535."},
        {hosting + "<max-users>-5</max-users></hosting></quorvane>", "max-users is \"-5\""},
        {hosting + "<channel-diskquota>-1</channel-diskquota></hosting></quorvane>", "channel-diskquota is \"-1\""},
        {hosting + "<login-timeout>-1</login-timeout></hosting></quorvane>", "login-timeout is \"-1\""},
        {hosting + "<max-connections-per-address>-2</max-connections-per-address></hosting></quorvane>",
         "max-connections-per-address is \"-2\""},
        {hosting + "<metrics-address>127.0.0.1:0</metrics-address></hosting></quorvane>",
         "metrics-address is \"127.0.0.1:0\"; it must be empty or an address such as 127.0.0.1:10302, with a port"},
        {hosting + "<metrics-address>::1:10302</metrics-address></hosting></quorvane>",
         "metrics-address is \"::1:10302\"; it must be empty or an address such as 127.0.0.1:10302, with a port"},
        {hosting + "<ipv6-ban-prefix>47</ipv6-ban-prefix></hosting></quorvane>",
         "ipv6-ban-prefix is \"47\"; it must be a number from 48 to 128."},
        {hosting + "<ipv6-ban-prefix>129</ipv6-ban-prefix></hosting></quorvane>", "ipv6-ban-prefix is \"129\""},
        {hosting + "<static-channels><channel><name>a</name><diskquota>-2</diskquota></channel></static-channels>"
                   "</hosting></quorvane>",
         "the diskquota of a static channel is -2"},
        // Values are strict, and each problem has its line.
        {"<?xml version=\"1.0\"?>\n<quorvane>\n<hosting>\n<password-lockout>ten</password-lockout>\n"
         "</hosting></quorvane>",
         "/QuorvaneService.xml, line 4: password-lockout is \"ten\"; it must be a number from 0 to 2147483647.\n"},
        {hosting + "<server-logging>yes</server-logging></hosting></quorvane>",
         "server-logging is \"yes\"; it must be true or false.\n"},
        {"<?xml version=\"1.0\"?>\n<quorvane>\n<hosting>\n<motd>x\n</hosting></quorvane>",
         "<motd> is not closed: the next end tag is </hosting> on line 5. Line 4 column 1.\n"},
    };
    for (const auto& c : cases) {
        WriteFile("QuorvaneService.xml", c.document);
        const RunResult run = RunBinary({"-d"});
        EXPECT_EQ(run.exitCode, 2) << c.document;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile("QuorvaneService.xml"), c.document);
    }
    // A settings "file" that cannot be read is not replaced by the defaults either.
    std::remove(PathOf("QuorvaneService.xml").c_str());
    ASSERT_EQ(mkdir(PathOf("QuorvaneService.xml").c_str(), 0755), 0);
    const RunResult run = RunBinary({"-d"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("Quorvane service failed to read settings file: "), std::string::npos) << run.err;
    rmdir(PathOf("QuorvaneService.xml").c_str());
}

// An element the server does not know is told once, with its line, and stays in the file
// through a save; the retired ones are not told at all.
TEST_F(RestartTest, UnknownSettingsAreToldOnceAndKept) {
    tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    std::string document = SettingsDocument(AdminConfig(), tcpPort_, udpPort_);
    document.insert(document.find("</hosting>"),
                    "\n<comand-rate>1</comand-rate><comand-rate>2</comand-rate>\n<voice-logging>yes</voice-logging>"
                    "<certificate-file>c.pem</certificate-file><privatekey-file>k.pem</privatekey-file>");
    WriteFile("QuorvaneService.xml", document);
    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
    const std::string errors = ServerErrors();
    const std::string told = "Quorvane service found an unknown setting in " +
                             std::filesystem::canonical(dir_).string() +
                             "/QuorvaneService.xml, line 2: comand-rate is no setting of this server (command-rate?); "
                             "it is kept in the file and has no effect.\n";
    EXPECT_NE(errors.find(told), std::string::npos) << errors;
    EXPECT_EQ(errors.find("comand-rate", errors.find(told) + told.size()), std::string::npos) << errors;
    EXPECT_EQ(errors.find("logging"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("-file"), std::string::npos) << errors;

    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    const std::string saved = ReadFile("QuorvaneService.xml");
    for (const char* kept : {"<comand-rate>1</comand-rate>", "<comand-rate>2</comand-rate>", "<voice-logging>yes",
                             "<privatekey-file>k.pem"})
        EXPECT_NE(saved.find(kept), std::string::npos) << kept << " in:\n" << saved;
}

TEST_F(RestartTest, SavedConfigurationComesBack) {
    StartServer(AdminConfig());
    TestUser admin, ann;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ann.tcp.Send("join channel=\"/temp/\"\r\n");
    SkipUntil(ann.tcp, "done");

    // Values with blanks the XML parser would fold, quotes, markup and UTF-8.
    const std::string name = "  My \\\"Server\\\"  <&> caf\xc3\xa9 ";
    const std::string motd = "line one\\r\\nline  two ";
    Send(admin,
         "updateserver channels=0 operators=1 servername=\"" + name + "\" password=\" pw \" motd=\"" + motd + "\"");
    EXPECT_EQ(Send(admin, "updateadmin username=\"Boss\" password=\"  new  \""), "ok");
    for (const char* line : {"makechannel channel=\"/a/\" password=\" p \" topic=\"  T  \" diskquota=5000000000",
                             "makechannel channel=\"/a/b/\" topic=\"under a\"", "makechannel channel=\"/z/\"",
                             "makechannel channel=\"/temp/static/\"",
                             "updatechannel channel=\"/\" password=\"\" topic=\"root topic\" static=1 diskquota=7"})
        admin.tcp.Send(std::string(line) + "\r\n");
    EXPECT_EQ(Send(admin, "ban userid=" + std::to_string(ann.id)), "ok");
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    const std::string settings = ReadFile("QuorvaneService.xml"), bans = ReadFile("BanList.xml");
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    EXPECT_EQ(ReadFile("QuorvaneService.xml"), settings);
    EXPECT_EQ(ReadFile("BanList.xml"), bans);

    Restart();
    TestUser user;
    Connect(user);
    EXPECT_EQ(Param(user.welcome, "servername"), "  My \"Server\"  <&> caf\xc3\xa9 ");
    EXPECT_EQ(Param(user.welcome, "motd"), "line one\r\nline  two ");
    EXPECT_EQ(IntParam(user.welcome, "channels"), 0);
    const std::vector<std::string> listing = AdminListing("BOSS", "  new  ");
    EXPECT_TRUE(Contains(listing,
                         "addchannel channel=\"/\" password=\"\" static=1 topic=\"root topic\" operators=[] "
                         "usercount=0 diskquota=7"));
    EXPECT_TRUE(Contains(listing,
                         "addchannel channel=\"/a/\" password=\" p \" static=1 topic=\"  T  \" operators=[] "
                         "usercount=0 diskquota=5000000000"));
    EXPECT_TRUE(Contains(listing,
                         "addchannel channel=\"/a/b/\" password=\"\" static=1 topic=\"under a\" operators=[] "
                         "usercount=0 diskquota=0"));
    EXPECT_TRUE(Contains(listing,
                         "addchannel channel=\"/z/\" password=\"\" static=1 topic=\"\" operators=[] "
                         "usercount=0 diskquota=0"));
    for (const std::string& line : listing) EXPECT_EQ(line.find("/temp/"), std::string::npos) << line;
    SayHello(user);
    EXPECT_EQ(IntParam(SendLogin(user, "u", " pw "), "number"), 202);

    TestUser boss;
    ASSERT_TRUE(ConnectAdmin(boss, "Boss", "  new  "));
    boss.tcp.Send("listbans\r\n");
    EXPECT_TRUE(std::regex_match(
        NextLine(boss.tcp), std::regex("userbanned address=\"127.0.0.1\" channel=\"/temp/\" nickname=\"ann\" .*")));
    EXPECT_EQ(NextLine(boss.tcp), "done");
}

// Each ban and unban is written as it happens, and the stop writes the live table once
// more: no saveconfig is needed, and a kill once the file shows it loses nothing.
TEST_F(RestartTest, EveryBanAndUnbanOutlivesAStopOrAKill) {
    StartServer(AdminConfig());
    const struct {
        bool ban;
        int signo;
    } steps[] = {{true, SIGTERM}, {false, SIGTERM}, {true, SIGKILL}, {false, SIGKILL}};
    for (const auto& step : steps) {
        const std::string what = std::string(step.ban ? "ban" : "unban") + " then " + strsignal(step.signo);
        TestUser admin, mallory("127.0.0.2");
        ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
        if (step.ban) {
            ASSERT_TRUE(ConnectAndLogin(mallory, "mallory"));
        }
        EXPECT_EQ(Send(admin, step.ban ? "ban userid=" + std::to_string(mallory.id) : "unban address=\"127.0.0.2\""),
                  "ok");
        if (step.signo == SIGKILL) {
            ASSERT_TRUE(WaitFor(
                [&] { return (ReadFile("BanList.xml").find("\"127.0.0.2\"") != std::string::npos) == step.ban; },
                DEFAULT_TIMEOUT_MS))
                << what;
        }
        EXPECT_EQ(StopServer(step.signo), step.signo == SIGKILL ? -1 : EXIT_CLEAN_STOP) << what;
        Launch();
        WaitUntilListening(tcpPort_, udpPort_);

        TestUser again("127.0.0.2"), boss;
        Connect(again);
        SayHello(again);
        const std::string login = SendLogin(again, "mallory");
        EXPECT_EQ(IntParam(login, "number") == 202, step.ban) << what << ": " << login;
        ASSERT_TRUE(ConnectAdmin(boss, "Admin", "s3cret"));
        EXPECT_EQ(Send(boss, "listbans").rfind("userbanned address=\"127.0.0.2\"", 0) == 0, step.ban) << what;
    }
}

TEST_F(RestartTest, SharedFilesSurviveARestart) {
    ASSERT_EQ(mkdir(PathOf("files").c_str(), 0755), 0);
    ServerConfig config = AdminConfig();
    config.filesRoot = PathOf("files");
    config.channelDiskQuota = 1000;
    config.staticChannels = "<channel><name>music</name></channel>";
    WriteFile("files/data_1.dat", "one");
    WriteFile("files/data_7.dat", "kept although unlisted");
    WriteFile("files/tmp_3.dat", "cut by a crash");
    WriteFile("FilesList.xml",
              "<?xml version=\"1.0\"?><fileslist version=\"1.0\"><channel name=\"\"><channel name=\"music\">"
              "<file name=\"song\"><internalname>data_1.dat</internalname><filesize>3</filesize></file>"
              "<file name=\"gone\"><internalname>data_2.dat</internalname><filesize>9</filesize></file>"
              "</channel></channel></fileslist>");
    StartServer(config);
    struct stat info;
    EXPECT_NE(stat(PathOf("files/tmp_3.dat").c_str(), &info), 0);
    EXPECT_EQ(ReadFile("files/data_7.dat"), "kept although unlisted");
    EXPECT_NE(ServerErrors().find("data_7.dat, which no shared file names"), std::string::npos) << ServerErrors();

    std::vector<std::string> listing = AdminListing();
    EXPECT_TRUE(Contains(listing, "addfile filename=\"song\" filesize=3 channel=\"/music/\""));
    for (const std::string& line : listing) EXPECT_EQ(line.find("\"gone\""), std::string::npos);
    EXPECT_NE(ReadFile("FilesList.xml").find("\"gone\""), std::string::npos);  // still listed

    // An upload is listed (by the writer thread, so waited for); a deletion prunes, but
    // never the root channel's element.
    const auto listed = [&] { return ReadFile("FilesList.xml").find("<channel name=\"new\">") != std::string::npos; };
    TestUser ann;
    ASSERT_TRUE(ConnectAndLogin(ann, "ann"));
    ann.tcp.Send("join channel=\"/new/\"\r\nregsendfile channel=\"/new/\" filename=\"up\" filesize=2\r\n");
    const int id = IntParam(ann.tcp.Expect("fileaccepted"), "transferid");
    testing_support::LineClient data;
    ASSERT_TRUE(data.Connect(tcpPort_));
    data.Send("sendfile transferid=" + std::to_string(id) + "\r\n");
    ASSERT_FALSE(data.Expect("filedeliver").empty());
    data.Send("hi");
    ASSERT_FALSE(data.Expect("filecompleted").empty());
    EXPECT_TRUE(WaitFor(listed, DEFAULT_TIMEOUT_MS));
    ann.tcp.Send("deletefile channel=\"/new/\" filename=\"up\"\r\n");
    EXPECT_FALSE(ann.tcp.Expect("removefile").empty());
    EXPECT_TRUE(WaitFor([&] { return !listed(); }, DEFAULT_TIMEOUT_MS));

    std::remove(PathOf("files/data_1.dat").c_str());
    Restart();
    listing = AdminListing();
    for (const std::string& line : listing) EXPECT_NE(CommandWord(line), "addfile") << line;
    EXPECT_NE(ReadFile("FilesList.xml").find("\"song\""), std::string::npos);
}

TEST_F(RestartTest, EventLogLinesOfASession) {
    ServerConfig config;
    config.serverLogging = true;
    StartServer(config);
    TestUser ann, bob;
    ASSERT_TRUE(ConnectAndLogin(ann, "Ann \\\"A\\\""));
    ASSERT_TRUE(ConnectAndLogin(bob, "bob"));
    ann.tcp.Send("join channel=\"/a/\"\r\n");
    SkipUntil(ann.tcp, "done");
    ann.tcp.Send("message type=1 to=2 channel=\"\" content=\"hi\"\r\nmessage type=2 channel=\"\" content=\"all\"\r\n");
    ann.tcp.Expect("ok");
    ann.tcp.Expect("ok");
    ann.tcp.Close();
    bob.tcp.Close();
    const auto lines = [&] {
        std::vector<std::string> result;
        std::string text = ReadFile("QuorvaneService.log");
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            result.push_back(text.substr(start, end - start));
        return result;
    };
    ASSERT_TRUE(WaitFor([&] { return lines().size() == 9; }, DEFAULT_TIMEOUT_MS)) << ReadFile("QuorvaneService.log");
    const std::string stamp =
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}000 ";
    const std::string expected[] = {
        "User #1 TCP address: 127\\.0\\.0\\.1 TCP port: [0-9]+ connected\\.",
        "User #1 name: \"Ann \\\\\"A\\\\\"\" UDP address: 127\\.0\\.0\\.1 UDP port: [0-9]+ logged in\\.",
        "User #2 TCP address: 127\\.0\\.0\\.1 TCP port: [0-9]+ connected\\.",
        "User #2 name: \"bob\" UDP address: 127\\.0\\.0\\.1 UDP port: [0-9]+ logged in\\.",
        "User #1 name: \"Ann \\\\\"A\\\\\"\" joined channel: \"/a/\"\\.",
        "User message from #1 name: \"Ann \\\\\"A\\\\\"\" to #2 name: \"bob\" content: \"hi\"\\.",
        "Channel message from #1 name: \"Ann \\\\\"A\\\\\"\" to channel: \"/a/\" content: \"all\"\\.",
        "User #[12] name: .* disconnected\\.",
        "User #[12] name: .* disconnected\\.",
    };
    const std::vector<std::string> got = lines();
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(std::regex_match(got[i], std::regex(stamp + expected[i]))) << got[i];
    EXPECT_TRUE(std::regex_search(got[7] + got[8], std::regex("Channel: \"/a/\" disconnected\\.")));

    Restart();  // appends
    TestUser again;
    Connect(again);
    EXPECT_TRUE(WaitFor([&] { return lines().size() == 10; }, DEFAULT_TIMEOUT_MS));
}

TEST_F(RestartTest, NoLogFileWithoutLoggingAndFailedSavesAreReported) {
    StartServer(AdminConfig());
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    EXPECT_EQ(Send(admin, "saveconfig"), "ok");
    const std::string settings = ReadFile("QuorvaneService.xml");
    // Every file of the server may now grow to 1 KiB only: the next save cannot be written.
    rlimit original;
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, nullptr, &original), 0);
    const rlimit limit = {1024, original.rlim_max};
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr), 0);
    EXPECT_EQ(
        Send(admin, "updateserver channels=1 operators=1 servername=\"" + std::string(2000, 'n') +
                        "\" password=\"\" motd=\"\""),
        "serverupdate servername=\"" + std::string(2000, 'n') + "\" motd=\"\" forwarding=1 channels=1 operators=1");
    EXPECT_EQ(Send(admin, "saveconfig"), "error number=210 message=\"Failed to open file\"");  // told, not "ok"
    ASSERT_EQ(prlimit(pid_, RLIMIT_FSIZE, &original, nullptr), 0);
    EXPECT_TRUE(WaitFor([&] { return ServerErrors().find("failed to save settings file") != std::string::npos; },
                        DEFAULT_TIMEOUT_MS))
        << ServerErrors();
    EXPECT_EQ(ReadFile("QuorvaneService.xml"), settings);
    struct stat info;
    EXPECT_NE(stat(PathOf("QuorvaneService.log").c_str(), &info), 0);
}

TEST_F(RestartTest, ValuesWithNulBytesAreRefused) {
    StartServer(AdminConfig());
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "Admin", "s3cret"));
    const std::string nul("a\0b", 3);
    const struct {
        std::string line;
        int error;
    } cases[] = {
        {"updateserver channels=1 operators=1 servername=\"" + nul + "\" password=\"\" motd=\"\"", 2021},
        {"updateadmin username=\"x\" password=\"" + nul + "\"", 2027},
        {"makechannel channel=\"/c/\" topic=\"" + nul + "\"", 2014},
        {"makechannel channel=\"/" + nul + "/\"", 2005},
    };
    for (const auto& c : cases) EXPECT_EQ(IntParam(Send(admin, c.line), "number"), c.error);
}

}  // namespace
}  // namespace test
}  // namespace quorvane
