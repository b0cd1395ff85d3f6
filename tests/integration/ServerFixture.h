// Runs the real server binary for a test: a scratch directory with a copy of the
// executable and its settings file on free loopback ports, the process started with -d
// and stopped with a signal, and raw TCP and UDP clients that wait with deadlines.
#ifndef QUORVANE_TESTS_SERVERFIXTURE_H
#define QUORVANE_TESTS_SERVERFIXTURE_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestClient.h"

namespace quorvane {
namespace test {

using testing_support::HeaderPacketBytes;

// How long a test waits for anything the server should do at once.
const int DEFAULT_TIMEOUT_MS = 10000;
// The exit code of a server that was stopped by a signal after it ran.
const int EXIT_CLEAN_STOP = 0;

// The settings a test may change; written into QuorvaneService.xml by StartServer,
// which also fills in the ports.
struct ServerConfig {
    std::string serverName = "Quorvane Server";
    std::string serverPassword;
    std::string motd;
    std::string rootTopic;
    std::string bindIp = "127.0.0.1";
    int maxUsers = 500;
    bool allowChannelCreation = true;
    bool allowOperators = true;
    bool serverLogging = false;
    bool adminEnabled = false;
    std::string adminUsername;
    std::string adminPassword;
    int64_t rootDiskQuota = 0;
    int64_t channelDiskQuota = 0;
    std::string filesRoot;  // empty: file sharing off
    // Flood limits (0: none), the server's defaults unless a test needs others.
    int maxConnectionsPerAddress = 64;
    int passwordLockout = 10;
    int loginTimeout = 60;
    int maxChannels = 10000;
    int commandRate = 20;
    int commandBurst = 200;
    int transferTimeout = 60;
    int maxFilesPerChannel = 1000;
    int maxFiles = 100000;
    int64_t maxOutputQueue = 256LL * 1024 * 1024;
    bool trustLoopback = true;
    int ipv6BanPrefix = 64;
    std::string metricsAddress;  // empty: no metrics
    int tlsPort = 0;             // 0: no TLS port, and none of its settings written
    std::string certificateFile;
    std::string privatekeyFile;
    int tlsHandshakeTimeout = 10;
    // XML placed inside <static-channels>.
    std::string staticChannels;
};

// A finished run of the binary.
struct RunResult {
    int exitCode = -1;  // -1 when it did not exit normally in time
    std::string out;
    std::string err;
};

// The next line of the connection without its CR LF; a missing line fails the test.
std::string NextLine(testing_support::LineClient& client, int timeoutMs = DEFAULT_TIMEOUT_MS);
// Reads lines until one with the command word; empty (and a failure) when none came.
std::string SkipUntil(testing_support::LineClient& client, const std::string& word);
// The command word of a line.
std::string CommandWord(const std::string& line);
// A number from a /proc file such as "rchar: 123" or "VmRSS:  456 kB"; -1 when absent.
long long ProcField(const std::string& path, const std::string& field);
std::string Bytes(std::initializer_list<int> bytes);

// One client with both of its sockets, from the source address (another loopback
// address such as 127.0.0.2 plays another host).
struct TestUser {
    explicit TestUser(const std::string& from = "127.0.0.1") : udp(from), source(from) {}
    testing_support::LineClient tcp;
    testing_support::VoiceClient udp;
    std::string source;
    int id = 0;
    std::string welcome;
};

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    // Stops a running server with SIGINT and expects a clean stop, then checks every
    // run's standard error for sanitizer reports and removes the directory.
    void TearDown() override;

    // Writes the settings file (free loopback ports unless the config's are set) and
    // starts the server; the test fails when it does not listen in time.
    void StartServer(const ServerConfig& config = ServerConfig());
    // Starts the binary (with -d unless told otherwise) on whatever settings file the
    // directory holds.
    void Launch(const std::vector<std::string>& args = {"-d"});
    // Waits until the server listens on both ports, or fails the test (also when the
    // process ends first).
    void WaitUntilListening(int tcpPort, int udpPort);
    // Sends the signal and waits for the exit; the exit code, or -1 when the process
    // did not exit normally in time (it is killed then).
    int StopServer(int signo = SIGINT);
    // Runs the binary to its end with the arguments; stdout and stderr are captured.
    RunResult RunBinary(const std::vector<std::string>& args, int timeoutMs = 60000);
    // Runs another program the same way, with NAME=VALUE entries added to its
    // environment and the given text as its standard input.
    RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input = "", int timeoutMs = 60000);

    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    // What the running (or last) server wrote so far.
    std::string ServerOutput() const { return ReadFile(serverOut_); }
    std::string ServerErrors() const { return ReadFile(serverErr_); }
    std::string ReadFile(const std::string& name) const;
    void WriteFile(const std::string& name, const std::string& content) const;
    static std::string SettingsDocument(const ServerConfig& config, int tcpPort, int udpPort);

    // Connects and reads the welcome line; returns the user id.
    int Connect(TestUser& user);
    // Sends the UDP hello and expects the acknowledgement.
    void SayHello(TestUser& user);
    // Sends the login line (the command word as given) and returns the first reply line.
    std::string SendLogin(TestUser& user, const std::string& nickname, const std::string& password = "",
                          const std::string& word = "login");
    // Connect, hello and a successful login up to its "done"; false when refused.
    bool ConnectAndLogin(TestUser& user, const std::string& nickname, const std::string& password = "");
    // Connect (no hello) and an administrator login up to its "done"; the lines of the
    // listing are returned through listing when given. False when refused.
    bool ConnectAdmin(TestUser& user, const std::string& username, const std::string& password,
                      std::vector<std::string>* listing = nullptr);

    std::string dir_;
    std::string binary_;
    int tcpPort_ = 0;
    int udpPort_ = 0;
    pid_t pid_ = -1;

private:
    // Starts a program (the server binary unless told otherwise) with its output going to
    // two new files of the directory and its input from the named file (or /dev/null).
    pid_t Spawn(const std::vector<std::string>& args, std::string& outName, std::string& errName,
                const std::string& program = "", const std::vector<std::string>& env = {},
                const std::string& inputName = "");
    // Waits for the child's exit; the exit code, or -1 on time-out or a signal death.
    static int WaitForExit(pid_t pid, int timeoutMs);

    int runs_ = 0;
    std::string serverOut_;
    std::string serverErr_;
};

// Whether some socket is bound to the port: a listening TCP socket or a UDP socket.
bool IsTcpListening(int port);
bool IsUdpBound(int port);

}  // namespace test
}  // namespace quorvane

#endif
