// One simulated client of the load generator: its sockets, where its login stands and
// what it has seen.
#ifndef QUORVANE_BENCH_LOADGEN_USER_H
#define QUORVANE_BENCH_LOADGEN_USER_H

#include <cstdint>
#include <string>

enum class State { Connecting, WaitWelcome, WaitAck, WaitLogin, LoggedIn, WaitJoin, Ready, Failed };

struct User {
    int index = 0;
    int id = 0;
    int channel = 0;
    bool talker = false;
    bool joins = true;
    int tcp = -1;
    int udp = -1;
    State state = State::Connecting;
    std::string in;
    std::string out;
    double helloAt = 0;
    double lastPing = 0;
    uint32_t seq = 0;
    double nextSend = 0;
    // Lines seen, kept for the extra client of --scale.
    int addchannels = 0;
    int addusers = 0;
    bool accepted = false;
    bool joined = false;
    // A "pwc" sent to learn whether the server still counts the user as logged in.
    enum class Probe { None, Waiting, LoggedIn, LoggedOut } probe = Probe::None;
    std::string error;
    bool watch = false;     // every line is read: the pinging, bursting, flooding and deleting clients
    bool urgent = false;    // served before every other socket: the pinging client
    bool plain = false;     // no voice and no login: ready at "welcome" (minbroadcast, file data)
    bool admin = false;     // logs in as the administrator, without voice
    bool tolerant = false;  // an "error" line is counted, not the end of the client
    int dones = 0;
    int errors = 0;
    uint64_t lines = 0;     // lines received
    double pingSentAt = 0;  // 0 = no ping outstanding
};

#endif
