// The plain TCP copy the file transfers are measured against: a receiver that writes
// what one connection brings into a file, and a sender that streams a file into one
// connection, both with 1 MiB reads and writes and nothing else.
//   tcpcopy --recv PORT OUTFILE        prints "listening", then RESULT bytes= seconds= mbps=
//   tcpcopy --send PORT INFILE         connects to 127.0.0.1:PORT and sends the file
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BenchNet.h"

namespace {

const size_t BUFFER = 1 << 20;

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int Receive(int port, const char* path) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address = Loopback(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 1) != 0) {
        perror("listen");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    const int connection = accept(listener, nullptr, nullptr);
    const int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (connection < 0 || out < 0) return 1;
    std::vector<char> buffer(BUFFER);
    long long total = 0;
    double start = 0;
    for (;;) {
        const ssize_t n = read(connection, buffer.data(), buffer.size());
        if (n <= 0) break;
        if (total == 0) start = Now();
        total += n;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return 1;
    }
    const double seconds = Now() - start;
    close(out);
    std::printf("RESULT bytes=%lld seconds=%.3f mbps=%.1f\n", total, seconds, total / seconds / 1e6);
    return 0;
}

int Send(int port, const char* path) {
    const int in = open(path, O_RDONLY);
    const int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(port);
    if (in < 0 || connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        perror("connect");
        return 1;
    }
    std::vector<char> buffer(BUFFER);
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n <= 0) break;
        if (!WriteAll(connection, buffer.data(), static_cast<size_t>(n))) return 1;
    }
    close(connection);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--recv") == 0) return Receive(std::atoi(argv[2]), argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "--send") == 0) return Send(std::atoi(argv[2]), argv[3]);
    std::fprintf(stderr, "usage: tcpcopy --recv PORT OUTFILE | --send PORT INFILE\n");
    return 2;
}
