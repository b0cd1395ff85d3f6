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
#include <string>
#include <vector>

#include "BenchNet.h"
#include "LineClient.h"
#include "ProcStats.h"

namespace {

const size_t BUFFER = 1 << 20;
const double LINE_TIMEOUT = 60;

void Fail(const std::string& what) {
    std::fprintf(stderr, "filebench: %s\n", what.c_str());
    std::exit(1);
}

// The next line of that word, or the end of the program.
std::string Expect(LineClient& connection, const std::string& word) {
    std::string line;
    if (!connection.Expect(word, LINE_TIMEOUT, &line))
        Fail("waiting for " + word + ": " + (connection.Refusal().empty() ? "no such line" : connection.Refusal()));
    return line;
}

long long Param(const std::string& line, const std::string& name) {
    const long long value = LineParam(line, name);
    if (value < 0) Fail("no " + name + " in " + line);
    return value;
}

void Connect(LineClient& connection, int port) {
    if (!connection.Connect(port)) Fail("connect");
}

void Send(LineClient& connection, const char* data, size_t length) {
    if (!connection.Send(data, length)) Fail("send");
}

void SendLine(LineClient& connection, const std::string& line) {
    if (!connection.SendLine(line)) Fail("send");
}

struct Options {
    int tcpPort = 10300, udpPort = 10301, serverPid = 0, loops = 1;
    std::string file, out, name = "bench.bin";
    double readRate = 0;  // MB/s, 0 = as fast as possible
    bool skipUpload = false;
    bool sync = true;
};

// Logs a user in on the command connection and joins the static channel /files/, whose
// files outlive us.
void LogInAndJoin(LineClient& command, const Options& options) {
    int udp = -1;
    const int id = LogIn(command, options.udpPort, "bench", udp, LINE_TIMEOUT);
    if (udp >= 0) close(udp);
    if (id < 0) Fail("login: " + command.Refusal());
    if (!Join(command, "/files/", LINE_TIMEOUT)) Fail("join /files/: " + command.Refusal());
}

double Upload(LineClient& command, const Options& options, long long size) {
    SendLine(command,
             "regsendfile channel=\"/files/\" filename=\"" + options.name + "\" filesize=" + std::to_string(size));
    const long long id = Param(Expect(command, "fileaccepted"), "transferid");
    LineClient data;
    Connect(data, options.tcpPort);
    Expect(data, "welcome");
    SendLine(data, "sendfile transferid=" + std::to_string(id));
    Expect(data, "filedeliver");
    const int in = open(options.file.c_str(), O_RDONLY);
    if (in < 0) Fail("open " + options.file);
    std::vector<char> buffer(BUFFER);
    const double start = Now();
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n <= 0) break;
        Send(data, buffer.data(), static_cast<size_t>(n));
    }
    close(in);
    Expect(data, "filecompleted");
    return Now() - start;
}

double Download(LineClient& command, const Options& options, long& rssBefore, long& rssMax) {
    SendLine(command, "regrecvfile channel=\"/files/\" filename=\"" + options.name + "\"");
    const long long id = Param(Expect(command, "fileaccepted"), "transferid");
    LineClient data;
    Connect(data, options.tcpPort);
    Expect(data, "welcome");
    SendLine(data, "recvfile transferid=" + std::to_string(id));
    const long long size = Param(Expect(data, "fileready"), "filesize");
    const int out = open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) Fail("open " + options.out);
    std::vector<char> buffer(BUFFER);
    // Bytes that came with the fileready line.
    long long received = static_cast<long long>(data.Buffered().size());
    if (write(out, data.Buffered().data(), data.Buffered().size()) < 0) Fail("write");
    rssBefore = rssMax = options.serverPid ? ProcessRssKiB(options.serverPid) : -1;
    double nextSample = 0;
    const size_t chunk = options.readRate > 0 ? 65536 : BUFFER;
    const double start = Now();
    SendLine(data, "filedeliver");
    while (received < size) {
        pollfd p = {data.Fd(), POLLIN, 0};
        if (poll(&p, 1, int(LINE_TIMEOUT * 1000)) <= 0) Fail("download stalled");
        const ssize_t n = recv(data.Fd(), buffer.data(), chunk, 0);
        if (n <= 0) Fail("download cut short");
        received += n;
        if (write(out, buffer.data(), static_cast<size_t>(n)) != n) Fail("write");
        const double now = Now();
        if (options.serverPid && now >= nextSample) {
            rssMax = std::max(rssMax, ProcessRssKiB(options.serverPid));
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
    LineClient command;
    Connect(command, options.tcpPort);
    LogInAndJoin(command, options);
    for (int loop = 0; loop < options.loops; ++loop) {
        const std::string base = options.name;
        if (options.loops > 1) options.name = base + "." + std::to_string(loop);  // names are unique
        const double up = options.skipUpload ? 0 : Upload(command, options, size);
        // Write back what the upload left dirty, so that the download is not measured
        // against the disk's writeback.
        if (options.sync) sync();
        long rssBefore = -1, rssMax = -1;
        const double down = Download(command, options, rssBefore, rssMax);
        std::printf(
            "RESULT bytes=%lld upload_seconds=%.3f upload_mbps=%.1f download_seconds=%.3f download_mbps=%.1f "
            "rss_before_kib=%ld rss_max_kib=%ld rss_growth_kib=%ld\n",
            size, up, up > 0 ? size / up / 1e6 : 0.0, down, size / down / 1e6, rssBefore, rssMax, rssMax - rssBefore);
        std::fflush(stdout);
        options.name = base;
    }
    return 0;
}
