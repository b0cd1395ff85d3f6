#include "ServerFixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvane {
namespace test {

namespace {

// Looks for a socket bound to the port in one of the kernel's socket tables; state is
// the table's state column ("0A" listening TCP, "07" unconnected UDP).
bool HasSocket(const char* table, int port, const char* state) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st;
        fields >> slot >> local >> remote >> st;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || st != state) {
            continue;
        }
        if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == port) {
            return true;
        }
    }
    return false;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string Element(const std::string& name, const std::string& value) {
    return "<" + name + ">" + value + "</" + name + ">";
}

std::string Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string CommandWord(const std::string& line) { return line.substr(0, line.find_first_of(" \r\n")); }

// A dual-stack or IPv6 socket shows in the IPv6 tables only.
bool IsTcpListening(int port) {
    return HasSocket("/proc/net/tcp", port, "0A") || HasSocket("/proc/net/tcp6", port, "0A");
}

bool IsUdpBound(int port) { return HasSocket("/proc/net/udp", port, "07") || HasSocket("/proc/net/udp6", port, "07"); }

// --- Lines and packets ---

std::string NextLine(testing_support::LineClient& client, int timeoutMs) {
    std::string line;
    if (!client.ReadLine(line, timeoutMs)) {
        ADD_FAILURE() << "no line came";
        return "";
    }
    return line;
}

std::string SkipUntil(testing_support::LineClient& client, const std::string& word) {
    const std::string line = client.Expect(word, DEFAULT_TIMEOUT_MS);
    EXPECT_FALSE(line.empty()) << "no \"" << word << "\" line came";
    return line;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out += static_cast<char>(b);
    }
    return out;
}

long long ProcField(const std::string& path, const std::string& field) {
    std::ifstream in(path);
    std::string name;
    long long value = 0;
    while (in >> name) {
        if (name == field + ":" && in >> value) return value;
    }
    return -1;
}

// --- ServerFixture ---

void ServerFixture::SetUp() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr) << "cannot make a scratch directory";
    dir_ = pattern;
    binary_ = PathOf("quorvane-server");
    // No test reaches the machine's service manager: the service actions get a unit
    // directory and a systemctl that do not exist unless a test sets its own, and no
    // run reports to a notification socket that a test did not open.
    setenv("QUORVANE_UNIT_DIR", PathOf("no-unit-dir").c_str(), 1);
    setenv("QUORVANE_SYSTEMCTL", PathOf("no-systemctl").c_str(), 1);
    unsetenv("NOTIFY_SOCKET");
    std::error_code error;
    std::filesystem::copy_file(QUORVANE_SERVER_BINARY, binary_, error);
    ASSERT_FALSE(error) << "cannot copy " << QUORVANE_SERVER_BINARY << ": " << error.message();
    std::filesystem::permissions(binary_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
}

void ServerFixture::TearDown() {
    if (pid_ > 0) {
        EXPECT_EQ(StopServer(SIGINT), EXIT_CLEAN_STOP) << "stderr: " << ServerErrors();
    }
    for (int run = 1; run <= runs_; ++run) {
        const std::string errors = ReadFile("stderr-" + std::to_string(run) + ".txt");
        for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error"}) {
            EXPECT_EQ(errors.find(report), std::string::npos) << "run " << run << " of the server reported:\n"
                                                              << errors;
        }
    }
    if (!dir_.empty() && !HasFailure()) {
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    } else if (!dir_.empty()) {
        std::printf("Kept %s for inspection.\n", dir_.c_str());
    }
}

std::string ServerFixture::ReadFile(const std::string& name) const {
    std::ifstream in(name.empty() || name[0] == '/' ? name : PathOf(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void ServerFixture::WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ServerFixture::SettingsDocument(const ServerConfig& config, int tcpPort, int udpPort) {
    const std::string hosting =
        Element("server-name", XmlEscape(config.serverName)) +
        Element("server-password", XmlEscape(config.serverPassword)) +
        Element("root-topic", XmlEscape(config.rootTopic)) +
        Element("root-diskquota", std::to_string(config.rootDiskQuota)) + Element("motd", XmlEscape(config.motd)) +
        Element("hostport", std::to_string(tcpPort)) + Element("soundport", std::to_string(udpPort)) +
        Element("bind-ip", XmlEscape(config.bindIp)) + Element("max-users", std::to_string(config.maxUsers)) +
        Element("allow-channel-creation", Bool(config.allowChannelCreation)) +
        Element("allow-operators", Bool(config.allowOperators)) +
        Element("server-logging", Bool(config.serverLogging)) + Element("admin-enabled", Bool(config.adminEnabled)) +
        Element("admin-username", XmlEscape(config.adminUsername)) +
        Element("admin-password", XmlEscape(config.adminPassword)) +
        Element("files-root", XmlEscape(config.filesRoot)) +
        Element("channel-diskquota", std::to_string(config.channelDiskQuota)) +
        Element("max-connections-per-address", std::to_string(config.maxConnectionsPerAddress)) +
        Element("password-lockout", std::to_string(config.passwordLockout)) +
        Element("login-timeout", std::to_string(config.loginTimeout)) +
        Element("max-channels", std::to_string(config.maxChannels)) +
        Element("command-rate", std::to_string(config.commandRate)) +
        Element("command-burst", std::to_string(config.commandBurst)) +
        Element("transfer-timeout", std::to_string(config.transferTimeout)) +
        Element("max-files-per-channel", std::to_string(config.maxFilesPerChannel)) +
        Element("max-files", std::to_string(config.maxFiles)) +
        Element("max-output-queue", std::to_string(config.maxOutputQueue)) +
        Element("trust-loopback", Bool(config.trustLoopback)) +
        Element("ipv6-ban-prefix", std::to_string(config.ipv6BanPrefix)) +
        Element("metrics-address", XmlEscape(config.metricsAddress)) +
        (config.tlsPort == 0 ? std::string()
                             : Element("tls-port", std::to_string(config.tlsPort)) +
                                   Element("certificate-file", XmlEscape(config.certificateFile)) +
                                   Element("privatekey-file", XmlEscape(config.privatekeyFile)) +
                                   Element("tls-handshake-timeout", std::to_string(config.tlsHandshakeTimeout))) +
        Element("static-channels", config.staticChannels);
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><quorvane version=\"3.3\">" + Element("hosting", hosting) +
           "</quorvane>";
}

pid_t ServerFixture::Spawn(const std::vector<std::string>& args, std::string& outName, std::string& errName,
                           const std::string& program, const std::vector<std::string>& env,
                           const std::string& inputName) {
    ++runs_;
    outName = "stdout-" + std::to_string(runs_) + ".txt";
    errName = "stderr-" + std::to_string(runs_) + ".txt";
    const std::string outPath = PathOf(outName);
    const std::string errPath = PathOf(errName);
    const std::string inPath = inputName.empty() ? "/dev/null" : PathOf(inputName);
    const std::string path = program.empty() ? binary_ : program;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    for (const std::string& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    // Everything the child needs is prepared above: between fork and exec it only
    // makes async-signal-safe calls.
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open(inPath.c_str(), O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || dup2(in, 0) < 0 ||
            chdir("/") != 0) {
            _exit(127);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int ServerFixture::WaitForExit(pid_t pid, int timeoutMs) {
    int status = 0;
    pid_t done = 0;
    if (!testing_support::WaitFor([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; }, timeoutMs)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult ServerFixture::RunBinary(const std::vector<std::string>& args, int timeoutMs) {
    return RunProgram("", args, {}, "", timeoutMs);
}

RunResult ServerFixture::RunProgram(const std::string& program, const std::vector<std::string>& args,
                                    const std::vector<std::string>& env, const std::string& input, int timeoutMs) {
    std::string outName, errName, inputName;
    RunResult result;
    if (!input.empty()) {
        inputName = "stdin-" + std::to_string(runs_ + 1) + ".txt";
        WriteFile(inputName, input);
    }
    const pid_t pid = Spawn(args, outName, errName, program, env, inputName);
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return result;
    }
    result.exitCode = WaitForExit(pid, timeoutMs);
    result.out = ReadFile(outName);
    result.err = ReadFile(errName);
    return result;
}

void ServerFixture::StartServer(const ServerConfig& config) {
    if (tcpPort_ == 0) {
        tcpPort_ = testing_support::FreePort(SOCK_STREAM);
    }
    if (udpPort_ == 0) {
        udpPort_ = testing_support::FreePort(SOCK_DGRAM);
    }
    ASSERT_NE(tcpPort_, 0);
    ASSERT_NE(udpPort_, 0);
    WriteFile("QuorvaneService.xml", SettingsDocument(config, tcpPort_, udpPort_));
    Launch();
    WaitUntilListening(tcpPort_, udpPort_);
}

void ServerFixture::Launch(const std::vector<std::string>& args) {
    ASSERT_LT(pid_, 0) << "the server already runs";
    pid_ = Spawn(args, serverOut_, serverErr_);
    ASSERT_GT(pid_, 0) << "fork failed";
}

void ServerFixture::WaitUntilListening(int tcpPort, int udpPort) {
    // Looking at the kernel's tables rather than connecting keeps the user ids intact.
    bool ended = false;
    const bool listening = testing_support::WaitFor(
        [&] {
            int status = 0;
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
            return ended || (IsTcpListening(tcpPort) && IsUdpBound(udpPort));
        },
        60000);
    if (ended) {
        pid_ = -1;
        FAIL() << "the server ended before listening; stderr: " << ServerErrors();
    }
    ASSERT_TRUE(listening) << "the server does not listen on TCP " << tcpPort << " and UDP " << udpPort;
}

int ServerFixture::StopServer(int signo) {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, signo);
    const int code = WaitForExit(pid_, 60000);
    pid_ = -1;
    return code;
}

int ServerFixture::Connect(TestUser& user) {
    EXPECT_TRUE(user.tcp.Connect(tcpPort_, DEFAULT_TIMEOUT_MS, user.source == "127.0.0.1" ? "" : user.source));
    user.welcome = NextLine(user.tcp);
    EXPECT_EQ(CommandWord(user.welcome), "welcome") << user.welcome;
    user.id = std::max(testing_support::IntParam(user.welcome, "userid"), 0);
    return user.id;
}

void ServerFixture::SayHello(TestUser& user) {
    ASSERT_TRUE(user.udp.SendTo(udpPort_, testing_support::HelloPacketBytes(user.id)));
    std::string ack;
    ASSERT_TRUE(user.udp.Receive(ack, DEFAULT_TIMEOUT_MS)) << "no answer to the hello of user " << user.id;
    EXPECT_EQ(ack, Bytes({2, 5, 6, 0, 0, 0}));
}

std::string ServerFixture::SendLogin(TestUser& user, const std::string& nickname, const std::string& password,
                                     const std::string& word) {
    user.tcp.Send(word + " protocol=\"3.4\" nickname=\"" + nickname + "\" serverpassword=\"" + password +
                  "\" bandmode=0 framesize=320 encodedframesize=20 fpp=2 version=\"3.3.1\"\r\n");
    return NextLine(user.tcp);
}

bool ServerFixture::ConnectAndLogin(TestUser& user, const std::string& nickname, const std::string& password) {
    if (Connect(user) == 0) {
        return false;
    }
    SayHello(user);
    const std::string accepted = SendLogin(user, nickname, password);
    if (CommandWord(accepted) != "accepted") {
        ADD_FAILURE() << "login of " << nickname << " refused: " << accepted;
        return false;
    }
    return !SkipUntil(user.tcp, "done").empty();
}

bool ServerFixture::ConnectAdmin(TestUser& user, const std::string& username, const std::string& password,
                                 std::vector<std::string>* listing) {
    if (Connect(user) == 0) {
        return false;
    }
    user.tcp.Send("admin username=\"" + username + "\" password=\"" + password + "\"\r\n");
    std::vector<std::string> skipped;
    const std::string done = user.tcp.Expect("done", DEFAULT_TIMEOUT_MS, &skipped);
    if (listing) {
        *listing = skipped;
    }
    if (done.empty() || skipped.empty() || skipped[0] != "ok") {
        ADD_FAILURE() << "administrator login refused: " << (skipped.empty() ? done : skipped[0]);
        return false;
    }
    return true;
}

}  // namespace test
}  // namespace quorvane
