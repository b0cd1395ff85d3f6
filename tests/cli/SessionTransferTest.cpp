// The session's login, reply and failure handling, and the data connection of both
// transfer directions, against a scripted server on loopback.
#include <dirent.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "ClientSession.h"
#include "Deadline.h"
#include "FakeServer.h"
#include "FileTransfer.h"

namespace quorvane {
namespace cli {
namespace {

TEST(ClientSessionTest, LogsInAndEndsEveryReplyAtItsPong) {
    std::string login;
    FakeServer server(
        [&login](LineConnection& conn) {
            conn.Send("welcome userid=3 servername=\"S\" motd=\"M\" forwarding=1 channels=1 operators=1\r\n");
            login = Received(conn);
            EXPECT_EQ(Received(conn), "ping");
            conn.Send("accepted userid=3 nickname=\"ann\"\r\naddchannel channel=\"/\" protected=0\r\ndone\r\npong\r\n");
            // A refusal, then lines that are the command's own, then silence, then the end.
            EXPECT_EQ(Received(conn), "kick userid=9");
            EXPECT_EQ(Received(conn), "ping");
            conn.Send("error number=311 message=\"No such user\"\r\npong\r\n");
            EXPECT_EQ(Received(conn), "listbans");
            EXPECT_EQ(Received(conn), "ping");
            conn.Send(
                "userbanned address=\"1.2.3.4\"\r\nadduser userid=4 nickname=\"bob\" "
                "channel=\"/\"\r\ndone\r\npong\r\n");
            EXPECT_EQ(Received(conn), "save");
            EXPECT_EQ(Received(conn), "ping");
            EXPECT_EQ(Received(conn), "leave");
        },
        1, true);
    CliOptions options = OptionsFor(server, 1);
    options.user = "ann";
    ClientSession session(options);
    std::string error;
    ASSERT_TRUE(session.Open("pw", error)) << error;
    EXPECT_EQ(login.rfind("login protocol=\"3.4\" nickname=\"ann\" serverpassword=\"pw\" ", 0), 0u) << login;
    EXPECT_EQ(session.Tree().ownNickname, "ann");
    EXPECT_NE(session.Tree().FindChannel("/"), nullptr);

    Reply reply = session.Execute("kick userid=9");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.errorNumber, 311);
    EXPECT_EQ(reply.errorText, "No such user");

    reply = session.Execute("listbans\r\n");
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.lines, (std::vector<std::string>{"userbanned address=\"1.2.3.4\"", "done"}));
    EXPECT_NE(session.Tree().FindUser(4), nullptr);

    reply = session.Execute("save");
    EXPECT_EQ(reply.errorText, "no reply from the server within 1 s");
    reply = session.Execute("leave");
    EXPECT_EQ(reply.errorText, "the server closed the connection");
    EXPECT_FALSE(session.Poll(0));
}

TEST(ClientSessionTest, UserLoginNeedsTheVoiceHelloAnswered) {
    FakeServer server([](LineConnection& conn) { conn.Send("welcome userid=1\r\n"); });
    CliOptions options;
    options.port = server.Port();
    options.udpPort = server.Port();  // nobody answers there
    options.user = "ann";
    options.timeoutSeconds = 1;
    ClientSession session(options);
    std::string error;
    EXPECT_FALSE(session.Open("", error));
    EXPECT_EQ(error, "no answer to the voice hello on UDP port " + std::to_string(server.Port()));
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The names in a directory, so a test can see that nothing was left behind.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        ::closedir(d);
    }
    return names;
}

TEST(FileTransferTest, DownloadsLandWholeOrNotAtAll) {
    const struct {
        const char* name;
        const char* reply;  // to recvfile
        const char* data;   // after filedeliver
        const char* error;  // empty: success
    } cases[] = {
        {"whole", "fileready transferid=7 filesize=5", "hello", ""},
        {"cut short", "fileready transferid=7 filesize=10", "hello",
         "the server closed the data connection after 5 of 10 bytes"},
        {"refused", "error number=314 message=\"Unknown file transfer\"", "", "Unknown file transfer"},
        {"empty", "fileready transferid=7 filesize=0", "", ""},
    };
    for (const auto& c : cases) {
        char dir[] = "/tmp/quorvane-cli-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        FakeServer server([&c](LineConnection& conn) {
            conn.Send("welcome userid=2\r\n");
            EXPECT_EQ(Received(conn), "recvfile transferid=7");
            conn.Send(std::string(c.reply) + "\r\n");
            if (*c.error == '\0' || *c.data != '\0') {
                EXPECT_EQ(Received(conn), "filedeliver");
                conn.Send(c.data);
            }
        });
        TransferEndpoint endpoint;
        endpoint.port = server.Port();
        endpoint.host = "127.0.0.1";
        std::FILE* bar = std::tmpfile();
        ProgressBar progress(bar, true, "f", 0);  // the size comes with the server's reply
        int64_t size = -1;
        std::string error;
        const std::string path = std::string(dir) + "/out.bin";
        EXPECT_EQ(DownloadFile(endpoint, 7, path, false, progress, size, error), *c.error == '\0') << c.name;
        progress.Finish();  // nothing is drawn after this, so the file may close
        std::rewind(bar);
        char drawn[4096] = {};
        drawn[std::fread(drawn, 1, sizeof(drawn) - 1, bar)] = '\0';
        std::fclose(bar);
        EXPECT_EQ(std::string(drawn).find("100%  5 B of 5 B") != std::string::npos, std::string(c.name) == "whole")
            << c.name << ": " << drawn;
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_EQ(Entries(dir), *c.error == '\0' ? std::vector<std::string>{"out.bin"} : std::vector<std::string>())
            << c.name;
        if (*c.error == '\0') {
            EXPECT_EQ(Slurp(path), c.data) << c.name;
        }
        ::unlink(path.c_str());
        ::rmdir(dir);
    }
}

TEST(ClientSessionTest, AClosedConnectionSaysWhyWhenTheServerGaveAnError) {
    const struct {
        const char* last;  // what the server sends before it closes
        const char* closed;
    } cases[] = {
        {"", "the server closed the connection"},
        {"error number=100 message=\"Syntax error\"\r\n",
         "the server closed the connection after error 100: Syntax error"},
        {"error number=202\r\n", "the server closed the connection after error 202: Banned from server"},
        {"error number=311 message=\"No such user\"\r\npong\r\n", "the server closed the connection"},
    };
    for (const auto& c : cases) {
        FakeServer server(
            [&c](LineConnection& conn) {
                conn.Send("welcome userid=3\r\n");
                EXPECT_EQ(Received(conn).rfind("admin ", 0), 0u);
                EXPECT_EQ(Received(conn), "ping");
                conn.Send("ok\r\ndone\r\npong\r\n");
                conn.Send(c.last);
            },
            1, true);
        CliOptions options = OptionsFor(server, 5);
        options.admin = "root";
        ClientSession session(options);
        std::string error;
        ASSERT_TRUE(session.Open("", error)) << error;
        const Deadline deadline(10000);
        while (session.Poll(100) && !deadline.Passed()) {
        }
        EXPECT_FALSE(session.IsOpen());
        EXPECT_EQ(session.ClosedText(), c.closed);
    }
}

TEST(FileTransferTest, ADownloadReplacesAnExistingFileOnlyWhenAllowed) {
    for (const bool replace : {false, true}) {
        char dir[] = "/tmp/quorvane-cli-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        const std::string path = std::string(dir) + "/out.bin";
        std::ofstream(path) << "mine";
        FakeServer server([](LineConnection& conn) {
            Received(conn);
            conn.Send("fileready transferid=7 filesize=5\r\n");
            EXPECT_EQ(Received(conn), "filedeliver");
            conn.Send("hello");
        });
        TransferEndpoint endpoint;
        endpoint.port = server.Port();
        endpoint.host = "127.0.0.1";
        ProgressBar progress(stderr, false, "f", 0);
        int64_t size = 0;
        std::string error;
        EXPECT_EQ(DownloadFile(endpoint, 7, path, replace, progress, size, error), replace);
        EXPECT_EQ(error, replace ? "" : path + " exists; give --force to replace it");
        EXPECT_EQ(Slurp(path), replace ? "hello" : "mine");
        EXPECT_EQ(Entries(dir), std::vector<std::string>{"out.bin"}) << "a temporary file was left behind";
        ::unlink(path.c_str());
        ::rmdir(dir);
    }
}

TEST(FileTransferTest, ADownloadStoppedMidwayLeavesNothing) {
    char dir[] = "/tmp/quorvane-cli-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    FakeServer server([](LineConnection& conn) {
        Received(conn);
        conn.Send("fileready transferid=7 filesize=10\r\n");
        EXPECT_EQ(Received(conn), "filedeliver");
        conn.Send("hello");
        char rest[16];
        EXPECT_EQ(conn.ReadSome(rest, sizeof(rest), 10000), 0) << "the client did not close the data connection";
    });
    TransferEndpoint endpoint;
    endpoint.port = server.Port();
    endpoint.host = "127.0.0.1";
    endpoint.tick = [] { return false; };  // Ctrl+C came
    ProgressBar progress(stderr, false, "f", 0);
    int64_t size = 0;
    std::string error;
    EXPECT_FALSE(DownloadFile(endpoint, 7, std::string(dir) + "/out.bin", false, progress, size, error));
    EXPECT_EQ(error, "interrupted");
    EXPECT_TRUE(Entries(dir).empty());
    ::rmdir(dir);
}

TEST(FileTransferTest, UploadsSendTheAnnouncedBytesAfterTheServerSwitches) {
    const struct {
        const char* name;
        const char* reply;  // to sendfile
        bool confirm;
        const char* error;
    } cases[] = {
        {"confirmed", "filedeliver filesize=11 filename=\"a\"", true, ""},
        {"unconfirmed", "filedeliver filesize=11 filename=\"a\"", false,
         "no \"filecompleted\" from the server on the data connection"},
        {"refused", "error number=316 message=\"File already exists\"", false, "File already exists"},
    };
    char path[] = "/tmp/quorvane-cli-upload-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "hello world and more", 20), 20);  // only 11 are announced
    ::close(fd);
    for (const auto& c : cases) {
        std::string data;
        FakeServer server([&c, &data](LineConnection& conn) {
            conn.Send("welcome userid=2\r\n");
            EXPECT_EQ(Received(conn), "sendfile transferid=4");
            conn.Send(std::string(c.reply) + "\r\n");
            char buffer[64];
            long n;
            while (*c.error != 'F' && data.size() < 11 && (n = conn.ReadSome(buffer, sizeof(buffer), 10000)) > 0) {
                data.append(buffer, static_cast<size_t>(n));
            }
            if (c.confirm) conn.Send("filecompleted\r\n");
        });
        TransferEndpoint endpoint;
        endpoint.port = server.Port();
        endpoint.host = "127.0.0.1";
        ProgressBar progress(stderr, false, c.name, 11);
        std::string error;
        EXPECT_EQ(UploadFile(endpoint, 4, path, 11, progress, error), c.confirm) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        if (c.confirm) {
            EXPECT_EQ(data, "hello world");
        }
    }
    ::unlink(path);
}

}  // namespace
}  // namespace cli
}  // namespace quorvane
