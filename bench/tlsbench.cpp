// The TLS port's cost against the plain one, on a running server started with
// command-rate 0 and max-connections-per-address 0:
//   tlsbench PID PLAIN_PORT TLS_PORT SECONDS LINES
// prints two RESULT lines: handshakes a second (one client, each handshake to the welcome
// line, then closed) with the server's CPU per handshake; and for LINES pings answered by
// pongs on one connection of each port, in batches of 100, the server's CPU per line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ProcStats.h"

namespace {

int Dial(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        perror("connect");
        std::exit(1);
    }
    return fd;
}

// One connection, plain (ssl null) or inside TLS.
struct Stream {
    int fd;
    SSL* ssl;
    std::string buffer;
    long Write(const std::string& s) {
        return ssl ? SSL_write(ssl, s.data(), int(s.size())) : write(fd, s.data(), s.size());
    }
    // Reads until count lines ended.
    bool Lines(int count) {
        char chunk[65536];
        while (count > 0) {
            const long n = ssl ? SSL_read(ssl, chunk, sizeof chunk) : read(fd, chunk, sizeof chunk);
            if (n <= 0) return false;
            for (long i = 0; i < n; ++i) count -= chunk[i] == '\n';
        }
        return true;
    }
};

Stream Open(SSL_CTX* context, int port) {
    Stream s{Dial(port), nullptr, ""};
    if (context) {
        s.ssl = SSL_new(context);
        SSL_set_fd(s.ssl, s.fd);
        if (SSL_connect(s.ssl) != 1) {
            std::fprintf(stderr, "handshake failed\n");
            std::exit(1);
        }
    }
    if (!s.Lines(1)) std::exit(1);  // welcome
    return s;
}

void Close(Stream& s) {
    SSL_free(s.ssl);
    close(s.fd);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: tlsbench PID PLAIN_PORT TLS_PORT SECONDS LINES\n");
        return 2;
    }
    const int pid = std::atoi(argv[1]), plainPort = std::atoi(argv[2]), tlsPort = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    const int lines = std::atoi(argv[5]);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());  // no verification: the cost only

    double cpu = ProcessCpu(pid);
    auto start = std::chrono::steady_clock::now();
    long handshakes = 0;
    while (Seconds(start) < seconds) {
        Stream s = Open(context, tlsPort);
        Close(s);
        ++handshakes;
    }
    const double elapsed = Seconds(start);
    std::printf("RESULT handshakes_per_s=%.0f server_cpu_ms_per_handshake=%.3f\n", handshakes / elapsed,
                (ProcessCpu(pid) - cpu) * 1000 / handshakes);

    for (SSL_CTX* mode : {static_cast<SSL_CTX*>(nullptr), context}) {
        Stream s = Open(mode, mode ? tlsPort : plainPort);
        std::string batch;
        for (int i = 0; i < 100; ++i) batch += "ping\r\n";
        cpu = ProcessCpu(pid);
        start = std::chrono::steady_clock::now();
        for (int sent = 0; sent < lines; sent += 100)
            if (s.Write(batch) <= 0 || !s.Lines(100)) return 1;
        std::printf("RESULT port=%s lines=%d server_cpu_us_per_line=%.3f lines_per_s=%.0f\n", mode ? "tls" : "plain",
                    lines, (ProcessCpu(pid) - cpu) * 1e6 / lines, lines / Seconds(start));
        Close(s);
    }
    SSL_CTX_free(context);
    return 0;
}
