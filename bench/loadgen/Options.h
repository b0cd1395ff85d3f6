// The load generator's command line: every option of every mode.
#ifndef QUORVANE_BENCH_LOADGEN_OPTIONS_H
#define QUORVANE_BENCH_LOADGEN_OPTIONS_H

#include <string>

struct Options {
    bool relay = false;
    bool scale = false;
    bool search = false;
    bool storm = false;
    bool minimal = false;  // --storm against bench/minbroadcast: plain lines, no login
    int tcpPort = 10300;
    int udpPort = 10301;
    int users = 10;
    int channels = 1;
    int talkers = 1;      // per channel
    int size = 100;       // whole audio packet, header included
    double rate = 50;     // packets/s per talker; 0 = flat out
    double duration = 5;  // measured seconds of one run
    double warmup = 0.5;
    int serverPid = 0;
    int joiners = 1000;  // scale mode: users that join the one channel
    int window = 512;    // users whose login is in flight at once
    double setupTimeout = 60;
    double maxTime = 600;  // the whole program
    double maxLoss = 0.1;  // percent, for --search
    double startRate = 0;  // --search: first total offered packets/s
    int steps = 12;        // --search: most rates tried
    int retries = 1;       // --search: further tries of a rate that failed
    int rcvbuf = 1 << 20;
    std::string dump;                      // file for every latency sample of the last phase
    bool userTime = false;                 // latency to when this program reads a copy, not to its arrival
    bool realtime = false;                 // talk at real-time priority, sleeping to each packet's due time
    double stallProbe = 0;                 // seconds of the host-stall probe; 0 = no probe
    std::string channel = "/c0/";          // the channel of --scale, --storm and --deletes joins
    int burst = 0;                         // --storm: joins one client sends at once, after the logins
    int burstChannels = 2;                 // the burst's (and --flood's) joins cycle over this many channels
    double pingInterval = 0.02;            // the watching client's pings
    double settle = 35;                    // --storm: seconds after the storm users left, for RSS
    long lines = 0, lineBytes = 0;         // --minimal: lines per connection and their size
    std::string stopFile;                  // audio phase ends early once this file exists
    std::string windowFile;                // "from_ns to_ns": latency figures for that window too
    double keepalive = 60;                 // seconds between one user's keep-alive pings
    bool wholeWindow = false;              // --storm: the window runs to --settle s after the users left
    double flood = 0;                      // --flood: commands per second one client sends
    std::string command = "ping";          // --flood: the command line ("join" cycles over channels)
    int deletes = 0;                       // --deletes: files uploaded, then deleted one by one
    int fileBytes = 1000;                  // --deletes: size of each file
    std::string adminUser, adminPassword;  // --deletes: who deletes; none = an operator
};

// False with a message on standard error when the command line is wrong.
bool ParseOptions(int argc, char** argv, Options& o);
void Usage();

#endif
