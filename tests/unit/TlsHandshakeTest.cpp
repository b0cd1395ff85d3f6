// A TLS handshake on the loop, alone: a client that completes it, one that sends plain text
// and one that stays silent past the deadline each end it once, with the session only for
// the first; and TLS through the transport both ways once it is done.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "ReactorLoop.h"
#include "ScratchDirectoryTest.h"
#include "network/TlsContext.h"
#include "network/TlsHandshake.h"
#include "network/TlsTransport.h"

namespace {

using networktest::ReactorLoop;

class Ended : public TlsHandshake::Listener {
public:
    void OnHandshakeEnded(TlsHandshake&, TlsHandshake::Outcome outcome, SSL* session, void*) override {
        session_ = session;
        outcome_ = outcome;
        ++calls_;
    }
    std::atomic<int> calls_{0};
    std::atomic<TlsHandshake::Outcome> outcome_{TlsHandshake::PENDING};
    SSL* session_ = nullptr;
};

class TlsHandshakeTest : public ScratchDirectoryTest {};

TEST_F(TlsHandshakeTest, EachHandshakeEndsOnceAsItsClientBehaves) {
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout " +
                             Path("key.pem") + " -out " + Path("cert.pem") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    std::string error;
    const std::shared_ptr<TlsContext> context = TlsContext::Load(Path("cert.pem"), Path("key.pem"), error);
    ASSERT_TRUE(context) << error;
    enum Client { HANDSHAKE, PLAIN_TEXT, SILENT };
    const struct {
        Client client;
        TlsHandshake::Outcome outcome;
    } cases[] = {
        {HANDSHAKE, TlsHandshake::DONE}, {PLAIN_TEXT, TlsHandshake::FAILED}, {SILENT, TlsHandshake::TIMED_OUT}};
    for (const auto& c : cases) {
        ReactorLoop loop(networktest::EPOLL_REACTOR);
        loop.Start();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        fcntl(pair[0], F_SETFL, O_NONBLOCK);
        Ended ended;
        loop.RunOnLoop([&] {
            TlsHandshake* handshake = new TlsHandshake(loop.reactor(), context->NewSession(), pair[0], ended, nullptr);
            ASSERT_TRUE(handshake->Start(ACE_Time_Value(0, 200000)));
        });
        SSL_CTX* client = SSL_CTX_new(TLS_client_method());
        SSL* ssl = SSL_new(client);
        SSL_set_fd(ssl, pair[1]);
        if (c.client == HANDSHAKE) {
            EXPECT_EQ(SSL_connect(ssl), 1);
        }
        if (c.client == PLAIN_TEXT) {
            EXPECT_EQ(write(pair[1], "login\r\n", 7), 7);
        }
        EXPECT_TRUE(testing_support::WaitFor([&] { return ended.calls_ > 0; }, 5000));
        loop.RunOnLoop([] {});  // nothing more comes
        EXPECT_EQ(ended.calls_, 1);
        EXPECT_EQ(ended.outcome_, c.outcome);
        EXPECT_EQ(ended.session_ != nullptr, c.outcome == TlsHandshake::DONE);
        if (ended.session_ != nullptr) {
            // Lines cross both ways inside TLS; a large write goes in whole records.
            TlsTransport transport(ended.session_);
            const std::string big(40000, 'x');
            const iovec pieces[] = {{const_cast<char*>("welcome\r\n"), 9}, {const_cast<char*>(big.data()), big.size()}};
            EXPECT_EQ(transport.Write(pieces, 2), static_cast<ssize_t>(9 + big.size()));
            std::string got;
            char buffer[65536];
            for (int n = 0; got.size() < 9 + big.size() && (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
                got.append(buffer, static_cast<size_t>(n));
            EXPECT_EQ(got, "welcome\r\n" + big);
            EXPECT_EQ(SSL_write(ssl, "ping\r\n", 6), 6);
            ssize_t read = -1;
            EXPECT_TRUE(
                testing_support::WaitFor([&] { return (read = transport.Read(buffer, sizeof buffer)) > 0; }, 5000));
            EXPECT_EQ(std::string(buffer, read > 0 ? static_cast<size_t>(read) : 0), "ping\r\n");
        }
        SSL_free(ssl);
        SSL_CTX_free(client);
        ERR_clear_error();
        loop.Stop();
        close(pair[0]);
        close(pair[1]);
    }
}

}  // namespace
