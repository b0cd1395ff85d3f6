// What the tests of quorvane-cli against the real server share: a server with a static
// /Lobby/ and an administrator account, runs of the client, and a raw client in /Lobby/
// that watches what the client's commands do.
#ifndef QUORVANE_TESTS_CLIFIXTURE_H
#define QUORVANE_TESTS_CLIFIXTURE_H

#include <string>
#include <vector>

#include "ServerFixture.h"

namespace quorvane {
namespace test {

class CliFixture : public ServerFixture {
protected:
    void StartWith(const std::string& filesRoot = "") {
        ServerConfig config;
        config.staticChannels =
            "<channel><name>Lobby</name><password></password><topic>Hi</topic><diskquota>1000000</diskquota></channel>";
        config.adminEnabled = true;
        config.adminUsername = "root";
        config.adminPassword = "secret";
        config.filesRoot = filesRoot;
        StartServer(config);
    }

    // The options that point the client at the test's server, then the given ones.
    std::vector<std::string> ClientArgs(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(tcpPort_), "--udp-port",
                                   std::to_string(udpPort_)});
        return args;
    }

    RunResult Cli(const std::vector<std::string>& args, const std::string& password = "",
                  const std::string& input = "") {
        return RunProgram(QUORVANE_CLI_BINARY, ClientArgs(args), {"QUORVANE_PASSWORD=" + password}, input);
    }

    void JoinLobby(TestUser& user, const std::string& nickname) {
        ASSERT_TRUE(ConnectAndLogin(user, nickname));
        user.tcp.Send("join channel=\"/Lobby/\"\r\n");
        SkipUntil(user.tcp, "done");
    }

    // The contents of the messages the user receives before the one with the last content.
    static std::vector<std::string> MessagesUntil(TestUser& user, const std::string& last) {
        std::vector<std::string> contents;
        for (std::string line; !(line = user.tcp.Expect("messagedeliver", DEFAULT_TIMEOUT_MS)).empty();) {
            if (testing_support::Param(line, "content") == last) return contents;
            contents.push_back(testing_support::Param(line, "content"));
        }
        ADD_FAILURE() << "no message \"" << last << "\" came";
        return contents;
    }
};

}  // namespace test
}  // namespace quorvane

#endif
