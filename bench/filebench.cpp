// File transfers through the server: logs one user in, uploads a file and downloads it
// again over second connections, as a client does, and reports the throughput of each
// direction. With --read-rate the download is read at that pace (a reader slower than
// the disk) while the server's resident memory is sampled.
//   filebench --tcp-port P --udp-port U --file IN --out OUT [--server-pid PID]
//             [--read-rate MB/s] [--skip-upload] [--no-sync] [--name NAME] [--loops N]
// Prints RESULT upload_mbps= download_mbps= rss_before_kib= rss_max_kib= ...
// Every wait has a deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "BenchNet.h"

namespace {

const size_t BUFFER = 1 << 20;
const int LINE_TIMEOUT_MS = 60000;

void Fail(const std::string& what) {
    std::fprintf(stderr, "filebench: %s\n", what.c_str());
    std::exit(1);
}

long RssKib(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string name;
    long value = -1;
    while (in >> name)
        if (name == "VmRSS:" && in >> value) return value;
    return -1;
}

// One TCP connection to the server with a line reader over its buffered input.
struct Connection {
    int fd = -1;
    std::string buffer;

    explicit Connection(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) Fail("connect");
    }
    ~Connection() { close(fd); }

    void Send(const char* data, size_t length) {
        while (length > 0) {
            const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
            if (n <= 0) Fail("send");
            data += n;
            length -= static_cast<size_t>(n);
        }
    }
    void SendLine(const std::string& line) {
        const std::string text = line + "\r\n";
        Send(text.data(), text.size());
    }
    bool Fill(int timeoutMs) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char chunk[65536];
        const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        return true;
    }
    // The next line starting with the word; other lines are skipped.
    std::string Expect(const std::string& word) {
        const double deadline = Now() + LINE_TIMEOUT_MS / 1000.0;
        for (;;) {
            const size_t lf = buffer.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer.substr(0, lf);
                buffer.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.compare(0, word.size(), word) == 0) return line;
                if (line.compare(0, 5, "error") == 0 || line.compare(0, 12, "filerejected") == 0)
                    Fail("waiting for " + word + ": " + line);
                continue;
            }
            if (Now() > deadline || !Fill(static_cast<int>((deadline - Now()) * 1000) + 1))
                Fail("no " + word + " line");
        }
    }
};

long long Param(const std::string& line, const std::string& name) {
    const size_t at = line.find(" " + name + "=");
    if (at == std::string::npos) Fail("no " + name + " in " + line);
    return std::atoll(line.c_str() + at + name.size() + 2);
}

struct Options {
    int tcpPort = 10300, udpPort = 10301, serverPid = 0, loops = 1;
    std::string file, out, name = "bench.bin";
    double readRate = 0;  // MB/s, 0 = as fast as possible
    bool skipUpload = false;
    bool sync = true;
};

// Logs a user in on the command connection: welcome, UDP hello, login, join.
void LogIn(Connection& command, const Options& options) {
    const int id = static_cast<int>(Param(command.Expect("welcome"), "userid"));
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const char hello[6] = {1, 3, 6, 0, static_cast<char>(id & 0xff), static_cast<char>(id >> 8)};
    sockaddr_in server = Loopback(options.udpPort);
    sendto(udp, hello, sizeof(hello), 0, reinterpret_cast<sockaddr*>(&server), sizeof(server));
    pollfd p = {udp, POLLIN, 0};
    char ack[64];
    if (poll(&p, 1, 5000) <= 0 || recv(udp, ack, sizeof(ack), 0) <= 0) Fail("no hello answer");
    command.SendLine("login protocol=\"3.4\" nickname=\"bench\" serverpassword=\"\" bandmode=0 framesize=320 "
                     "encodedframesize=20 fpp=2 version=\"bench\"");
    command.Expect("done");
    command.SendLine("join channel=\"/files/\"");  // a static channel: its files outlive us
    command.Expect("done");
    close(udp);
}

double Upload(Connection& command, const Options& options, long long size) {
    command.SendLine("regsendfile channel=\"/files/\" filename=\"" + options.name + "\" filesize=" +
                     std::to_string(size));
    const long long id = Param(command.Expect("fileaccepted"), "transferid");
    Connection data(options.tcpPort);
    data.Expect("welcome");
    data.SendLine("sendfile transferid=" + std::to_string(id));
    data.Expect("filedeliver");
    const int in = open(options.file.c_str(), O_RDONLY);
    if (in < 0) Fail("open " + options.file);
    std::vector<char> buffer(BUFFER);
    const double start = Now();
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n <= 0) break;
        data.Send(buffer.data(), static_cast<size_t>(n));
    }
    close(in);
    data.Expect("filecompleted");
    return Now() - start;
}

double Download(Connection& command, const Options& options, long& rssBefore, long& rssMax) {
    command.SendLine("regrecvfile channel=\"/files/\" filename=\"" + options.name + "\"");
    const long long id = Param(command.Expect("fileaccepted"), "transferid");
    Connection data(options.tcpPort);
    data.Expect("welcome");
    data.SendLine("recvfile transferid=" + std::to_string(id));
    const long long size = Param(data.Expect("fileready"), "filesize");
    const int out = open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) Fail("open " + options.out);
    std::vector<char> buffer(BUFFER);
    // Bytes that came with the fileready line.
    long long received = static_cast<long long>(data.buffer.size());
    if (write(out, data.buffer.data(), data.buffer.size()) < 0) Fail("write");
    rssBefore = rssMax = options.serverPid ? RssKib(options.serverPid) : -1;
    double nextSample = 0;
    const size_t chunk = options.readRate > 0 ? 65536 : BUFFER;
    const double start = Now();
    data.SendLine("filedeliver");
    while (received < size) {
        pollfd p = {data.fd, POLLIN, 0};
        if (poll(&p, 1, LINE_TIMEOUT_MS) <= 0) Fail("download stalled");
        const ssize_t n = recv(data.fd, buffer.data(), chunk, 0);
        if (n <= 0) Fail("download cut short");
        received += n;
        if (write(out, buffer.data(), static_cast<size_t>(n)) != n) Fail("write");
        const double now = Now();
        if (options.serverPid && now >= nextSample) {
            rssMax = std::max(rssMax, RssKib(options.serverPid));
            nextSample = now + 0.02;
        }
        if (options.readRate > 0) {
            // Hold the pace: sleep until the bytes so far are due.
            const double due = start + received / (options.readRate * 1e6);
            if (due > now) {
                const double wait = due - now;
                timespec ts = {static_cast<time_t>(wait), static_cast<long>((wait - static_cast<long>(wait)) * 1e9)};
                nanosleep(&ts, nullptr);
            }
        }
    }
    const double seconds = Now() - start;
    close(out);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--tcp-port" && more) options.tcpPort = std::atoi(argv[++i]);
        else if (a == "--udp-port" && more) options.udpPort = std::atoi(argv[++i]);
        else if (a == "--server-pid" && more) options.serverPid = std::atoi(argv[++i]);
        else if (a == "--file" && more) options.file = argv[++i];
        else if (a == "--out" && more) options.out = argv[++i];
        else if (a == "--name" && more) options.name = argv[++i];
        else if (a == "--read-rate" && more) options.readRate = std::atof(argv[++i]);
        else if (a == "--loops" && more) options.loops = std::atoi(argv[++i]);
        else if (a == "--skip-upload") options.skipUpload = true;
        else if (a == "--no-sync") options.sync = false;
        else {
            std::fprintf(stderr, "usage: see the comment at the top of bench/filebench.cpp\n");
            return 2;
        }
    }
    struct stat info;
    if (stat(options.file.c_str(), &info) != 0) Fail("no file " + options.file);
    const long long size = info.st_size;
    Connection command(options.tcpPort);
    LogIn(command, options);
    for (int loop = 0; loop < options.loops; ++loop) {
        const std::string base = options.name;
        if (options.loops > 1) options.name = base + "." + std::to_string(loop);  // names are unique
        const double up = options.skipUpload ? 0 : Upload(command, options, size);
        // Write back what the upload left dirty, so that the download is not measured
        // against the disk's writeback.
        if (options.sync) sync();
        long rssBefore = -1, rssMax = -1;
        const double down = Download(command, options, rssBefore, rssMax);
        std::printf("RESULT bytes=%lld upload_seconds=%.3f upload_mbps=%.1f download_seconds=%.3f download_mbps=%.1f "
                    "rss_before_kib=%ld rss_max_kib=%ld rss_growth_kib=%ld\n",
                    size, up, up > 0 ? size / up / 1e6 : 0.0, down, size / down / 1e6, rssBefore, rssMax,
                    rssMax - rssBefore);
        std::fflush(stdout);
        options.name = base;
    }
    return 0;
}
