// Scrapes an HTTP metrics endpoint at a fixed interval, as a monitoring system does, and
// reports the scrape's own latency (request written to the last byte of the answer).
//   scrape --url http://HOST:PORT/PATH [--interval S (0.1)] [--stop-file F] [--max-time S (600)]
// One connection is kept open between scrapes (HTTP/1.1) and made again when the server
// closes it. Prints RESULT scrapes= failures= bytes= p50_ms= p99_ms= max_ms= seconds=; with
// note=unreachable when no scrape was answered (a server without the endpoint).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchNet.h"

namespace {

struct Target {
    std::string host, path;
    int port = 0;
};

bool ParseUrl(const std::string& url, Target& t) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    const size_t hostEnd = url.find_first_of(":/", scheme.size());
    t.host = url.substr(scheme.size(), hostEnd - scheme.size());
    size_t pathAt = url.find('/', scheme.size());
    t.port = hostEnd != std::string::npos && url[hostEnd] == ':' ? atoi(url.c_str() + hostEnd + 1) : 80;
    t.path = pathAt == std::string::npos ? "/" : url.substr(pathAt);
    return !t.host.empty() && t.port > 0 && t.port < 65536;
}

class Scraper {
public:
    explicit Scraper(const Target& t) : target_(t) {}
    ~Scraper() { Drop(); }

    // One scrape; the answer's size in bytes, or -1 when it failed.
    long Scrape(double timeout);

private:
    bool Connect();
    void Drop();
    bool Fill(double deadline);
    long ReadAnswer(double deadline);

    Target target_;
    int fd_ = -1;
    std::string in_;
    bool closeAfter_ = false;
};

bool Scraper::Connect() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(target_.port));
    if (fd_ < 0 || inet_pton(AF_INET, target_.host.c_str(), &a.sin_addr) != 1 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Drop();
        return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void Scraper::Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    in_.clear();
}

bool Scraper::Fill(double deadline) {
    pollfd p = {fd_, POLLIN, 0};
    const int left = int((deadline - Now()) * 1000) + 1;
    if (left <= 0 || poll(&p, 1, left) != 1) return false;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    in_.append(chunk, size_t(n));
    return true;
}

// The status line and headers, then a body sized by Content-Length, chunked, or ended by
// the close.
long Scraper::ReadAnswer(double deadline) {
    size_t headEnd;
    while ((headEnd = in_.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(deadline)) return -1;
    std::string head = in_.substr(0, headEnd + 2);
    in_.erase(0, headEnd + 4);
    for (char& ch : head) ch = char(tolower(static_cast<unsigned char>(ch)));
    if (head.compare(0, 9, "http/1.1 ") != 0 && head.compare(0, 9, "http/1.0 ") != 0) return -1;
    const bool good = head.compare(9, 3, "200") == 0;
    closeAfter_ = head.find("\r\nconnection: close") != std::string::npos || head.compare(5, 3, "1.0") == 0;
    long body = 0;
    const size_t lengthAt = head.find("\r\ncontent-length:");
    if (lengthAt != std::string::npos) {
        const size_t length = size_t(atol(head.c_str() + lengthAt + 17));
        while (in_.size() < length)
            if (!Fill(deadline)) return -1;
        in_.erase(0, length);
        body = long(length);
    } else if (head.find("\r\ntransfer-encoding: chunked") != std::string::npos) {
        for (;;) {
            size_t lineEnd;
            while ((lineEnd = in_.find("\r\n")) == std::string::npos)
                if (!Fill(deadline)) return -1;
            const size_t size = size_t(strtoul(in_.c_str(), nullptr, 16));
            while (in_.size() < lineEnd + 2 + size + 2)
                if (!Fill(deadline)) return -1;
            in_.erase(0, lineEnd + 2 + size + 2);
            body += long(size);
            if (size == 0) break;
        }
    } else {
        while (Fill(deadline)) {
        }
        body = long(in_.size());
        closeAfter_ = true;
    }
    return good ? body : -1;
}

long Scraper::Scrape(double timeout) {
    const double deadline = Now() + timeout;
    if (fd_ < 0 && !Connect()) return -1;
    const std::string request = "GET " + target_.path + " HTTP/1.1\r\nHost: " + target_.host + ":" +
                                std::to_string(target_.port) + "\r\nAccept: text/plain\r\n\r\n";
    if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        // A kept connection the server closed in between: once more on a new one.
        Drop();
        if (!Connect() || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
            Drop();
            return -1;
        }
    }
    const long bytes = ReadAnswer(deadline);
    if (bytes < 0 || closeAfter_) Drop();
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    std::string url, stopFile;
    double interval = 0.1, maxTime = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--url") url = argv[i + 1];
        else if (a == "--interval") interval = atof(argv[i + 1]);
        else if (a == "--stop-file") stopFile = argv[i + 1];
        else if (a == "--max-time") maxTime = atof(argv[i + 1]);
        else url.clear(), i = argc;
    }
    Target target;
    if (argc % 2 == 0 || !ParseUrl(url, target) || interval < 0.001 || maxTime <= 0) {
        fprintf(stderr, "usage: scrape --url http://HOST:PORT/PATH [--interval S] [--stop-file F] [--max-time S]\n");
        return 2;
    }
    Scraper scraper(target);
    std::vector<double> ms;
    long failures = 0, bytes = 0;
    const double start = Now();
    for (double next = start; Now() - start < maxTime; next += interval) {
        if (!stopFile.empty() && access(stopFile.c_str(), F_OK) == 0) break;
        const double wait = next - Now();
        if (wait > 0) usleep(useconds_t(wait * 1e6));
        const double at = Now();
        const long got = scraper.Scrape(std::max(1.0, interval * 10));
        if (got < 0) {
            ++failures;
        } else {
            ms.push_back((Now() - at) * 1000);
            bytes = got;
        }
        if (Now() > next + interval) next = Now();  // a slow scrape does not make the next ones come in a burst
    }
    const double seconds = Now() - start;
    if (ms.empty()) {
        printf("RESULT scrapes=0 failures=%ld seconds=%.1f note=unreachable\n", failures, seconds);
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    printf("RESULT scrapes=%zu failures=%ld bytes=%ld p50_ms=%.2f p99_ms=%.2f max_ms=%.2f seconds=%.1f\n", ms.size(),
           failures, bytes, at(0.5), at(0.99), ms.back(), seconds);
    return 0;
}
