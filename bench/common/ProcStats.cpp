#include "ProcStats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

double ProcessCpu(int pid) {
    if (pid <= 0) return -1;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    // Fields after the command name start at field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i < 14 && rest >> field; ++i) {
    }
    unsigned long long utime = 0, stime = 0;
    if (!(rest >> utime >> stime)) return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long ProcessRssKiB(int pid) {
    if (pid <= 0) return -1;
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    return -1;
}

int ProcessDescriptors(int pid) {
    if (pid <= 0) return -1;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

double StealMs() {
    std::ifstream f("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {0};
    if (!(f >> cpu) || cpu != "cpu") return 0;
    for (auto& x : v) f >> x;
    return double(v[7]) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

void UdpDrops(int port, uint64_t& serverDrops, uint64_t& clientDrops) {
    serverDrops = clientDrops = 0;
    std::ifstream f("/proc/net/udp");
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        unsigned local = 0, localPort = 0, remote = 0, remotePort = 0;
        if (sscanf(line.c_str(), " %*d: %8X:%4X %8X:%4X", &local, &localPort, &remote, &remotePort) != 4) continue;
        size_t last = line.find_last_not_of(" \n");
        size_t start = line.find_last_of(' ', last);
        uint64_t drops = strtoull(line.c_str() + start + 1, nullptr, 10);
        if (int(localPort) == port) serverDrops += drops;
        else if (int(remotePort) == port) clientDrops += drops;
    }
}
