// The fixture of the file-sharing tests: a server with a files root and an
// administrator account, and clients that register, upload and download.
#ifndef QUORVANE_TESTS_FILESHARINGFIXTURE_H
#define QUORVANE_TESTS_FILESHARINGFIXTURE_H

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {

using testing_support::IntParam;
using testing_support::LineClient;
using testing_support::Param;
using testing_support::WaitFor;

constexpr int KIB = 1024;
constexpr int MIB = 1024 * 1024;

inline std::string RandomBytes(size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(generator());
    return bytes;
}

// The error number of an "error" or "filerejected" line; 0 for any other line.
inline int ErrorNumber(const std::string& line) {
    const std::string word = CommandWord(line);
    return word == "error" || word == "filerejected" ? IntParam(line, "number") : 0;
}

// The next line that is not news of other users and channels (joins elsewhere send those
// at any time).
inline std::string Answer(LineClient& client) {
    for (;;) {
        const std::string line = NextLine(client);
        const std::string word = CommandWord(line);
        if (word != "updatechannel" && word != "adduser" && word != "updateuser" && word != "removeuser") return line;
    }
}

class FileSharingTest : public ServerFixture {
protected:
    // Starts the server with a files root in the scratch directory, an administrator
    // account and the quota of channels that joins make.
    void StartSharing(int64_t channelQuota = 0, ServerConfig config = ServerConfig()) {
        config.channelDiskQuota = channelQuota;
        ASSERT_EQ(mkdir(PathOf("files").c_str(), 0755), 0);
        config.filesRoot = PathOf("files");
        config.adminEnabled = true;
        config.adminUsername = "Admin";
        config.adminPassword = "s3cret";
        StartServer(config);
    }

    void LoginAdmin(TestUser& admin) {
        Connect(admin);
        admin.tcp.Send("admin username=\"Admin\" password=\"s3cret\"\r\n");
        ASSERT_FALSE(SkipUntil(admin.tcp, "done").empty());
    }

    // Logs in and joins the channel (made when missing); the user's lines up to "done".
    void Enter(TestUser& user, const std::string& nickname, const std::string& channel) {
        ASSERT_TRUE(ConnectAndLogin(user, nickname));
        user.tcp.Send("join channel=\"" + channel + "\"\r\n");
        ASSERT_FALSE(SkipUntil(user.tcp, "done").empty());
    }

    // The transfer id, or minus the refusal's error number.
    int Register(TestUser& user, const std::string& word, const std::string& channel, const std::string& name,
                 const std::string& size = std::string()) {
        user.tcp.Send(word + " channel=\"" + channel + "\" filename=\"" + name + "\"" +
                      (size.empty() ? "" : " filesize=" + size) + "\r\n");
        std::string reply = Answer(user.tcp);
        while (CommandWord(reply) == "addfile" || CommandWord(reply) == "removefile") reply = Answer(user.tcp);
        return CommandWord(reply) == "fileaccepted" ? IntParam(reply, "transferid") : -ErrorNumber(reply);
    }

    // Opens a data connection (from the source address when given) and names the
    // transfer; the reply line.
    std::string Begin(LineClient& data, const std::string& word, int transferId,
                      const std::string& source = std::string(), int receiveBuffer = 0) {
        EXPECT_TRUE(data.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, source, receiveBuffer));
        EXPECT_EQ(CommandWord(NextLine(data)), "welcome");
        data.Send(word + " transferid=" + std::to_string(transferId) + "\r\n");
        return NextLine(data);
    }

    // A whole upload; true when the server answered "filecompleted". With together, the
    // bytes follow the "sendfile" line in one write.
    bool Upload(TestUser& user, const std::string& channel, const std::string& name, const std::string& bytes,
                bool together = false) {
        const int id = Register(user, "regsendfile", channel, name, std::to_string(bytes.size()));
        if (id <= 0) return false;
        LineClient data;
        EXPECT_TRUE(data.Connect(tcpPort_, DEFAULT_TIMEOUT_MS));
        NextLine(data);
        const std::string command = "sendfile transferid=" + std::to_string(id) + "\r\n";
        if (together) {
            data.Send(command + bytes);
        } else {
            data.Send(command);
            EXPECT_EQ(NextLine(data),
                      "filedeliver filesize=" + std::to_string(bytes.size()) + " filename=\"" + name + "\"");
            data.Send(bytes);
        }
        return !data.Expect("filecompleted", DEFAULT_TIMEOUT_MS * 3).empty();
    }

    // A whole download; the bytes, or "<refused N>".
    std::string Download(TestUser& user, const std::string& channel, const std::string& name) {
        const int id = Register(user, "regrecvfile", channel, name);
        if (id <= 0) return "<refused " + std::to_string(-id) + ">";
        LineClient data;
        const std::string ready = Begin(data, "recvfile", id);
        EXPECT_EQ(CommandWord(ready), "fileready") << ready;
        data.Send("filedeliver\r\n");
        std::string bytes;
        EXPECT_TRUE(
            data.ReadBytes(static_cast<size_t>(std::stoll(Param(ready, "filesize"))), bytes, DEFAULT_TIMEOUT_MS * 3));
        return bytes;
    }

    // The names in the files root that start with the prefix.
    std::vector<std::string> Stored(const std::string& prefix) {
        std::vector<std::string> names;
        if (DIR* dir = opendir(PathOf("files").c_str())) {
            while (dirent* entry = readdir(dir))
                if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0) names.push_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }

    bool NoTemporaryFileLeft() {
        return WaitFor([&] { return Stored("tmp_").empty(); }, DEFAULT_TIMEOUT_MS);
    }
};

}  // namespace test
}  // namespace quorvane

#endif
