// A server test that restarts the binary on its own files and talks to it as the
// administrator "Admin" (password "s3cret").
#ifndef QUORVANE_TESTS_RESTARTFIXTURE_H
#define QUORVANE_TESTS_RESTARTFIXTURE_H

#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {

using testing_support::IntParam;
using testing_support::Param;
using testing_support::WaitFor;

class RestartFixture : public ServerFixture {
protected:
    ServerConfig AdminConfig() {
        ServerConfig config;
        config.adminEnabled = true;
        config.adminUsername = "Admin";
        config.adminPassword = "s3cret";
        return config;
    }

    // Restarts the server on the settings file it has now.
    void Restart() {
        ASSERT_EQ(StopServer(), EXIT_CLEAN_STOP);
        Launch();
        WaitUntilListening(tcpPort_, udpPort_);
    }

    static std::string Send(TestUser& user, const std::string& line) {
        user.tcp.Send("ping\r\n");
        SkipUntil(user.tcp, "pong");
        user.tcp.Send(line + "\r\n");
        return NextLine(user.tcp);
    }

    // The administrator's listing (after "ok", without "done").
    std::vector<std::string> AdminListing(const std::string& name = "Admin", const std::string& password = "s3cret") {
        TestUser admin;
        std::vector<std::string> lines;
        EXPECT_TRUE(ConnectAdmin(admin, name, password, &lines));
        if (!lines.empty()) lines.erase(lines.begin());
        return lines;
    }

    // Registers and sends a file over a data connection of its own; true once completed.
    bool SendFile(TestUser& user, const std::string& channel, const std::string& name, const std::string& bytes) {
        user.tcp.Send("regsendfile channel=\"" + channel + "\" filename=\"" + name +
                      "\" filesize=" + std::to_string(bytes.size()) + "\r\n");
        const int id = IntParam(user.tcp.Expect("fileaccepted"), "transferid");
        testing_support::LineClient data;
        if (id <= 0 || !data.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, user.source)) return false;
        data.Send("sendfile transferid=" + std::to_string(id) + "\r\n");
        if (data.Expect("filedeliver").empty()) return false;
        data.Send(bytes);
        return !data.Expect("filecompleted").empty();
    }

    static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
        for (const std::string& l : lines)
            if (l == line) return true;
        return false;
    }
};

}  // namespace test
}  // namespace quorvane

#endif
