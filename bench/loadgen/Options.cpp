#include "Options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "VoiceMeter.h"
#include "VoiceWire.h"

void Usage() {
    fprintf(stderr,
            "usage: loadgen [options]\n"
            "  --tcp-port P --udp-port P   server ports on 127.0.0.1 (10300, 10301)\n"
            "  --users N --channels C      users, spread evenly over channels /c0/ .. (10, 1)\n"
            "  --talkers T                 talkers per channel (1)\n"
            "  --size S --rate R           audio packet bytes (100), packets/s per talker, 0 = flat out (50)\n"
            "  --duration D --warmup W     measured and warm-up seconds (5, 0.5)\n"
            "  --server-pid PID            read the server's CPU time and memory from /proc\n"
            "  --search                    find the highest rate with at most --max-loss %% loss (0.1)\n"
            "  --start-rate R --steps K    first total offered packets/s (1000), most rates tried (12)\n"
            "  --retries N                 further tries of a rate that lost too much (1)\n"
            "  --relay                     no TCP: ids 1..N given here, channel = (id-1) / (N/C)\n"
            "  --scale                     log N users in at once, --joiners K of them join /c0/\n"
            "  --window W                  logins in flight at once (512)\n"
            "  --channel PATH              the channel --scale and --storm users join (/c0/)\n"
            "  --storm                     log N users in, --joiners K of them join --channel; or, with\n"
            "                              --burst B, log N in first and have one client send B joins\n"
            "                              at once (cycling over --burst-channels M new channels, 2).\n"
            "                              Another client pings every --ping-interval s (0.02); the\n"
            "                              storm's users leave and RSS is read --settle s later (35)\n"
            "  --window-file F             --storm writes its window (CLOCK_MONOTONIC ns) to F; an audio\n"
            "                              run reads it at its end and reports the latency within it\n"
            "  --stop-file F               the audio run ends early once F exists\n"
            "  --minimal --lines L --line-bytes S   N connections to bench/minbroadcast, which writes\n"
            "                              each L lines of S bytes; reports its CPU time per line\n"
            "  --dump FILE                 write every latency sample of the last phase to FILE\n"
            "  --stall-probe S             only spin S seconds and report how often this core was\n"
            "                              taken away (gaps over 0.2 ms), to judge the machine's noise\n"
            "  --realtime                  talk at real-time priority and sleep to each packet's due time,\n"
            "                              so that a busy core does not bunch the talkers' packets\n"
            "  --user-time                 latency up to when this program reads a copy; by default up\n"
            "                              to its arrival in the listener's socket (kernel time stamp)\n"
            "  --setup-timeout S --max-time S   bounds of the set-up and of the whole run (60, 600)\n"
            "  --keepalive S               seconds between one user's keep-alive pings, spread (60)\n"
            "  --whole-window              --storm: the window runs on to --settle s after its users\n"
            "                              left, the departure included\n"
            "  --flood R --command LINE    one client sends LINE R times a second for --duration s while\n"
            "                              another pings every --ping-interval s (\"join\" cycles over\n"
            "                              --burst-channels channels); --settle s of pings follow (35)\n"
            "  --deletes N --file-bytes B  upload N files of B bytes (1000) to --channel one after another,\n"
            "                              then delete them one after another, while another client pings\n"
            "  --admin USER PASSWORD       --deletes as the administrator; without, as the operator of\n"
            "                              --channel, which the deleting user creates by joining it\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
    // Options that take a number, and where it goes.
    const std::map<std::string, std::function<void(double)>> numbers = {
        {"--tcp-port", [&](double v) { o.tcpPort = int(v); }},
        {"--udp-port", [&](double v) { o.udpPort = int(v); }},
        {"--users", [&](double v) { o.users = int(v); }},
        {"--channels", [&](double v) { o.channels = int(v); }},
        {"--talkers", [&](double v) { o.talkers = int(v); }},
        {"--size", [&](double v) { o.size = int(v); }},
        {"--rate", [&](double v) { o.rate = v; }},
        {"--duration", [&](double v) { o.duration = v; }},
        {"--warmup", [&](double v) { o.warmup = v; }},
        {"--server-pid", [&](double v) { o.serverPid = int(v); }},
        {"--joiners", [&](double v) { o.joiners = int(v); }},
        {"--window", [&](double v) { o.window = int(v); }},
        {"--setup-timeout", [&](double v) { o.setupTimeout = v; }},
        {"--max-time", [&](double v) { o.maxTime = v; }},
        {"--max-loss", [&](double v) { o.maxLoss = v; }},
        {"--start-rate", [&](double v) { o.startRate = v; }},
        {"--steps", [&](double v) { o.steps = int(v); }},
        {"--retries", [&](double v) { o.retries = int(v); }},
        {"--burst", [&](double v) { o.burst = int(v); }},
        {"--burst-channels", [&](double v) { o.burstChannels = int(v); }},
        {"--ping-interval", [&](double v) { o.pingInterval = v; }},
        {"--settle", [&](double v) { o.settle = v; }},
        {"--lines", [&](double v) { o.lines = long(v); }},
        {"--line-bytes", [&](double v) { o.lineBytes = long(v); }},
        {"--stall-probe", [&](double v) { o.stallProbe = v; }},
        {"--keepalive", [&](double v) { o.keepalive = v; }},
        {"--flood", [&](double v) { o.flood = v; }},
        {"--deletes", [&](double v) { o.deletes = int(v); }},
        {"--file-bytes", [&](double v) { o.fileBytes = int(v); }},
    };
    const std::map<std::string, std::string*> texts = {
        {"--channel", &o.channel}, {"--stop-file", &o.stopFile}, {"--window-file", &o.windowFile},
        {"--dump", &o.dump},       {"--command", &o.command},
    };
    const std::map<std::string, bool*> flags = {
        {"--relay", &o.relay},       {"--scale", &o.scale},
        {"--search", &o.search},     {"--storm", &o.storm},
        {"--minimal", &o.minimal},   {"--user-time", &o.userTime},
        {"--realtime", &o.realtime}, {"--whole-window", &o.wholeWindow},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (flags.count(a)) {
            *flags.at(a) = true;
        } else if (texts.count(a) && more) {
            *texts.at(a) = argv[++i];
        } else if (a == "--admin" && i + 2 < argc) {
            o.adminUser = argv[++i];
            o.adminPassword = argv[++i];
        } else if (numbers.count(a) && more) {
            char* end = nullptr;
            const double v = strtod(argv[++i], &end);
            if (!end || *end != '\0') return false;
            numbers.at(a)(v);
        } else {
            return false;
        }
    }
    const bool plainCrowd = o.flood > 0 || o.deletes > 0;  // these modes bring their own users
    if ((!plainCrowd && (o.users < 1 || o.channels < 1 || o.channels > o.users)) || o.talkers < 0 || o.window < 1 ||
        o.tcpPort <= 0 || o.udpPort <= 0 || o.tcpPort > 65535 || o.udpPort > 65535) {
        fprintf(stderr, "loadgen: bad counts or ports\n");
        return false;
    }
    if (o.size < kMinSize || o.size > kMaxDatagram) {
        fprintf(stderr, "loadgen: --size must be %d..%d (the server reads 512 bytes at most)\n", kMinSize,
                kMaxDatagram);
        return false;
    }
    if (int(o.relay) + int(o.scale) + int(o.storm) + int(o.minimal) + int(o.flood > 0) + int(o.deletes > 0) > 1) {
        fprintf(stderr, "loadgen: --relay, --scale, --storm, --minimal, --flood and --deletes exclude each other\n");
        return false;
    }
    if (o.minimal && (o.lines < 1 || o.lines > 1000000 || o.lineBytes < 3 || o.lineBytes > 65536)) {
        fprintf(stderr, "loadgen: --minimal needs --lines 1..1000000 and --line-bytes 3..65536\n");
        return false;
    }
    if (o.burst < 0 || o.burst > 100000 || o.pingInterval < 0.001) {
        fprintf(stderr, "loadgen: --burst must be 0..100000 and --ping-interval at least 0.001\n");
        return false;
    }
    if (o.flood < 0 || o.flood > 1e6 || o.command.empty() || o.deletes < 0 || o.deletes > 100000 || o.fileBytes < 1 ||
        o.fileBytes > (1 << 24) || o.keepalive < 0.01) {
        fprintf(stderr,
                "loadgen: --flood must be 0..1000000, --deletes 0..100000, --file-bytes 1..16777216 and "
                "--keepalive at least 0.01\n");
        return false;
    }
    if (o.relay && o.users % o.channels != 0) {
        fprintf(stderr, "loadgen: --relay needs --users to be a multiple of --channels\n");
        return false;
    }
    if (o.relay && o.users > 32766) {
        fprintf(stderr, "loadgen: at most 32766 users\n");
        return false;
    }
    o.joiners = std::max(0, std::min(o.joiners, o.users));
    return true;
}
