// The TLS port through the real server: certificates made with the openssl command at the
// start of each test (a CA, a server certificate for localhost and 127.0.0.1, one for
// another name, a self-signed one), the same protocol inside TLS for the client, Python's
// ssl module and file transfers, the client's checks, what the port closes, and a reload
// that renews the certificate for new connections while old ones stay.
#include <signal.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "ManagerFixture.h"
#include "NotifySocket.h"

namespace quorvane {
namespace test {
namespace {

// A TLS 1.2 client that logs nothing in but, once welcomed, asks for a new handshake:
// whether the server then closed the connection (rather than leave it waiting).
bool RenegotiationIsClosed(int port) {
    testing_support::LineClient socket;
    if (!socket.Connect(port)) return false;
    const timeval patience = {DEFAULT_TIMEOUT_MS / 1000, 0};
    setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, socket.Fd());
    char welcome[256];
    bool closed = SSL_connect(ssl) == 1 && SSL_read(ssl, welcome, sizeof welcome) > 0 && SSL_renegotiate(ssl) == 1;
    if (closed) {
        SSL_do_handshake(ssl);  // the new hello goes out; what comes back is not read here
        closed = socket.WaitClosed(DEFAULT_TIMEOUT_MS);
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ERR_clear_error();
    return closed;
}

class TlsTest : public ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                 "-subj", "/CN=Test CA"});
        Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "other-ca.key", "-out", "other-ca.pem",
                 "-days", "2", "-subj", "/CN=Other CA"});
        Issue("server", "subjectAltName=DNS:localhost,IP:127.0.0.1");
        Issue("renewed", "subjectAltName=DNS:localhost,IP:127.0.0.1");
        Issue("wrong-name", "subjectAltName=DNS:elsewhere.example");
        Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self.key", "-out", "self.pem", "-days",
                 "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    }

    void Openssl(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", "cd \"$0\" && exec openssl \"$@\"", dir_});
        const RunResult run = RunProgram("/bin/sh", args, {});
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }

    // NAME.pem and NAME.key, signed by the test CA, with the extension given.
    void Issue(const std::string& name, const std::string& extension) {
        WriteFile(name + ".ext", extension + "\n");
        Openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj",
                 "/CN=" + name});
        Openssl({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
                 name + ".pem", "-days", "2", "-extfile", name + ".ext"});
    }

    ServerConfig TlsConfig(const std::string& certificate = "server") {
        ServerConfig config;
        config.tlsPort = testing_support::FreePort(SOCK_STREAM);
        config.certificateFile = PathOf(certificate + ".pem");
        config.privatekeyFile = PathOf(certificate + ".key");
        config.filesRoot = "files";
        config.rootDiskQuota = 10000000;
        return config;
    }

    // The client over TLS to the server's TLS port with the options given before args.
    RunResult Cli(const std::string& host, std::vector<std::string> args) {
        args.insert(args.begin(), {"--host", host, "--port", std::to_string(tlsPort_), "--udp-port",
                                   std::to_string(udpPort_), "--tls"});
        return RunProgram(QUORVANE_CLI_BINARY, args, {"QUORVANE_PASSWORD="});
    }

    // Python's ssl module: checks the certificate with the CA, prints the version and the
    // words of the welcome and of the answer to a ping.
    RunResult Python() {
        const std::string script =
            "import socket, ssl, sys\n"
            "context = ssl.create_default_context(cafile=sys.argv[1])\n"
            "with context.wrap_socket(socket.create_connection(('127.0.0.1', int(sys.argv[2]))),\n"
            "                         server_hostname='localhost') as s:\n"
            "    s.settimeout(10)\n"
            "    f = s.makefile('rb')\n"
            "    print(s.version(), f.readline().split()[0].decode())\n"
            "    s.sendall(b'ping\\r\\n')\n"
            "    print(f.readline().decode().rstrip())\n";
        return RunProgram("/usr/bin/python3", {"-c", script, PathOf("ca.pem"), std::to_string(tlsPort_)}, {});
    }

    void StartTls(const ServerConfig& config) {
        tlsPort_ = config.tlsPort;
        StartServer(config);
        ASSERT_TRUE(testing_support::WaitFor([&] { return IsTcpListening(tlsPort_); }, DEFAULT_TIMEOUT_MS));
    }

    int tlsPort_ = 0;
};

// Start, --check and a reload refuse the files a renewal could leave behind.
TEST_F(TlsTest, CertificatesThatCannotServeStopTheStartAndTheCheck) {
    WriteFile("empty.pem", "");
    const struct {
        std::string certificate, key, told;
    } cases[] = {
        {"server.pem", "server.key", ""},
        {"self.pem", "self.key", ""},
        {"missing.pem", "server.key", "certificate-file " + PathOf("missing.pem") + ": No such file or directory"},
        {"empty.pem", "server.key", "certificate-file " + PathOf("empty.pem") + ": no start line"},
        {"server.pem", "self.key",
         "privatekey-file " + PathOf("self.key") + ": it does not match the certificate of " + PathOf("server.pem")},
    };
    for (const auto& c : cases) {
        ServerConfig config = TlsConfig();
        config.certificateFile = PathOf(c.certificate);
        config.privatekeyFile = PathOf(c.key);
        WriteFile("QuorvaneService.xml", SettingsDocument(config, testing_support::FreePort(SOCK_STREAM),
                                                          testing_support::FreePort(SOCK_DGRAM)));
        const RunResult run = RunBinary({"--check", PathOf("QuorvaneService.xml")});
        EXPECT_EQ(run.exitCode, c.told.empty() ? 0 : 2) << c.certificate << " " << run.err;
        if (!c.told.empty()) {
            EXPECT_NE(run.err.find("cannot use the certificate of its TLS port: " + c.told + "."), std::string::npos)
                << run.err;
        }
    }
}

// One user logs in over TLS with the client, one with Python's ssl module, one on the plain
// port: they share a channel and a message; a file goes up and comes back over TLS.
TEST_F(TlsTest, TheProtocolRunsInsideTlsBesidePlainText) {
    StartTls(TlsConfig());
    TestUser plain;
    ASSERT_TRUE(ConnectAndLogin(plain, "plain"));
    plain.tcp.Send("join channel=\"/\"\r\n");
    SkipUntil(plain.tcp, "done");

    const RunResult python = Python();
    EXPECT_EQ(python.exitCode, 0) << python.err;
    EXPECT_EQ(python.out, "TLSv1.3 welcome\npong\n") << python.err;

    std::string content(300000, 'x');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i * 7 % 26);
    WriteFile("up.bin", content);
    const RunResult cli =
        Cli("localhost", {"--ca", PathOf("ca.pem"), "--user", "secure", "-c", "join /", "-c", "say over tls", "-c",
                          "upload " + PathOf("up.bin"), "-c", "download up.bin " + PathOf("down.bin")});
    EXPECT_EQ(cli.exitCode, 0) << cli.err;
    const std::string said = plain.tcp.Expect("messagedeliver", DEFAULT_TIMEOUT_MS);
    EXPECT_EQ(testing_support::Param(said, "content"), "over tls") << said;
    EXPECT_EQ(ReadFile("down.bin"), content);
}

// The client checks the chain and the name; a reload hands new connections the renewed
// certificate while a connection made before keeps working; a broken one keeps the old.
TEST_F(TlsTest, TheClientChecksWhatAReloadServes) {
    NotifySocket manager(PathOf("notify"));
    ServerConfig config = TlsConfig();
    config.serverLogging = true;
    tlsPort_ = config.tlsPort;
    LaunchUnderTheManager(PathOf("notify"), config);
    ASSERT_EQ(manager.NextWith("READY=1"), ReadyReport(tcpPort_, udpPort_));
    const struct {
        const char* certificate;  // what the server has been given
        std::string host;
        std::vector<std::string> options;
        std::string refusal;  // empty: the client logs in
    } cases[] = {
        {"server", "localhost", {"--ca", PathOf("ca.pem")}, ""},
        {"server", "127.0.0.1", {"--ca", PathOf("ca.pem")}, ""},
        {"server", "localhost", {"--ca", PathOf("other-ca.pem")}, "unable to get local issuer certificate"},
        {"server", "localhost", {}, "unable to get local issuer certificate"},
        {"wrong-name", "localhost", {"--ca", PathOf("ca.pem")}, "hostname mismatch"},
        {"wrong-name", "127.0.0.1", {"--ca", PathOf("ca.pem")}, "IP address mismatch"},
        {"self", "localhost", {"--ca", PathOf("ca.pem")}, "self-signed certificate"},
        {"self", "localhost", {"--tls-insecure"}, ""},
    };
    TestUser before;  // over TLS from the first certificate on
    std::string served = "server";
    for (const auto& c : cases) {
        if (served != c.certificate) {
            served = c.certificate;
            config.certificateFile = PathOf(served + ".pem");
            config.privatekeyFile = PathOf(served + ".key");
            WriteFile("QuorvaneService.xml", SettingsDocument(config, tcpPort_, udpPort_));
            ASSERT_EQ(kill(pid_, SIGHUP), 0);
            EXPECT_EQ(manager.NextWith("READY=1").find("last reload failed"), std::string::npos);
        }
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--user", "u", "-c", "leave"});
        const RunResult run = Cli(c.host, args);
        EXPECT_EQ(run.exitCode, c.refusal.empty() ? 1 : 2) << served << " " << c.host << " " << run.err;
        if (!c.refusal.empty()) {
            EXPECT_NE(run.err.find("the server's certificate is refused: " + c.refusal), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.err.find("--tls-insecure: the server's certificate is not checked") != std::string::npos,
                  !c.options.empty() && c.options[0] == "--tls-insecure")
            << run.err;
    }
    // A renewal under the same names is read by the reload; a broken one is refused.
    ASSERT_TRUE(std::filesystem::copy_file(PathOf("renewed.pem"), PathOf("self.pem"),
                                           std::filesystem::copy_options::overwrite_existing));
    ASSERT_TRUE(std::filesystem::copy_file(PathOf("renewed.key"), PathOf("self.key"),
                                           std::filesystem::copy_options::overwrite_existing));
    ASSERT_EQ(kill(pid_, SIGHUP), 0);
    manager.NextWith("READY=1");
    EXPECT_EQ(Cli("localhost", {"--ca", PathOf("ca.pem"), "--user", "u", "-c", "leave"}).exitCode, 1);
    WriteFile("self.pem", "");
    ASSERT_EQ(kill(pid_, SIGHUP), 0);
    EXPECT_NE(manager.NextWith("READY=1").find("; last reload failed: TLS certificate: certificate-file " +
                                               PathOf("self.pem")),
              std::string::npos);
    EXPECT_EQ(Cli("localhost", {"--ca", PathOf("ca.pem"), "--user", "u", "-c", "leave"}).exitCode, 1);
    const std::string log = ReadFile("QuorvaneService.log");
    EXPECT_NE(log.find("Reload: the TLS port's certificate is now CN=renewed, valid until "), std::string::npos) << log;
    EXPECT_EQ(StopServer(SIGTERM), EXIT_CLEAN_STOP);
}

// Plain text gets the connection closed at once, silence at the handshake's deadline;
// meanwhile the plain port answers, and the closes are counted.
TEST_F(TlsTest, WhatIsNoHandshakeIsClosedWithoutHoldingTheLoop) {
    ServerConfig config = TlsConfig();
    config.tlsHandshakeTimeout = 1;
    config.metricsAddress = "127.0.0.1:" + std::to_string(testing_support::FreePort(SOCK_STREAM));
    StartTls(config);
    testing_support::LineClient plainText, silent, tlsClient;
    ASSERT_TRUE(plainText.Connect(tlsPort_));
    ASSERT_TRUE(silent.Connect(tlsPort_));
    plainText.Send("login nickname=\"x\" password=\"\"\r\n");
    EXPECT_TRUE(plainText.WaitClosed(DEFAULT_TIMEOUT_MS));
    TestUser plain;
    ASSERT_TRUE(ConnectAndLogin(plain, "plain"));
    plain.tcp.Send("ping\r\n");
    EXPECT_EQ(CommandWord(plain.tcp.Expect("pong", DEFAULT_TIMEOUT_MS)), "pong");
    EXPECT_TRUE(silent.WaitClosed(DEFAULT_TIMEOUT_MS));
    // A TLS 1.2 client that asks to renegotiate is closed too.
    EXPECT_TRUE(RenegotiationIsClosed(tlsPort_));
}

}  // namespace
}  // namespace test
}  // namespace quorvane
