// The load generator's clients and their one event loop: connecting, saying hello, logging
// in and joining, keep-alives, the pinging client's round trips and the listeners' voice.
// Single-threaded: one epoll loop serves every socket, so what it reports is what one core
// of client work can observe. Every wait has a deadline. The modes (one file each) drive it.
#ifndef QUORVANE_BENCH_LOADGEN_CROWD_H
#define QUORVANE_BENCH_LOADGEN_CROWD_H

#include <time.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Options.h"
#include "User.h"
#include "VoiceMeter.h"

class Crowd {
public:
    // Called for every line a watching client receives once logged in (or, for a plain
    // connection, once welcomed), after the round trips and "done"s are counted.
    using LineHook = std::function<void(User&, const std::string& word, const std::string& line)>;
    struct Ping {
        double sentAt, ms;
    };

    explicit Crowd(const Options& o);

    // `crowd` users spread over the channels (talking and listening unless `silent`), then
    // `extra` users past them that join nothing, for the mode to give roles.
    bool Setup(int crowd, int extra, bool silent);
    User& At(int index) { return users_[size_t(index)]; }
    // The crowd's users (not the extra ones), and those of them that join --channel.
    std::vector<int> Members() const;
    std::vector<int> Joiners() const;
    std::vector<User>& Users() { return users_; }
    const std::vector<int>& Talkers() const { return talkers_; }
    int MembersOf(int channel) const { return members_[size_t(channel)]; }
    // The pinging client: every line read, served before every other socket.
    void SetPinger(int index);
    int Pinger() const { return pinger_; }
    void SetLineHook(LineHook hook) { hook_ = std::move(hook); }
    VoiceMeter& Voice() { return voice_; }

    bool StartUser(User& u);
    void SendTcp(User& u, const std::string& text);
    void CloseUser(User& u);
    // A closed user made new, to be started again (one slot serves many data connections).
    void Reset(User& u);

    void Pump(int timeoutMs);
    // Waits to the nanosecond: a talker at real-time priority sleeps to its next packet
    // instead of spinning through its last millisecond.
    void PumpUntil(double due);
    void PollUrgent();
    // Starts the listed users (at most --window in flight) and runs the loop until each has
    // reached the target state or failed, or the timeout passed.
    bool WaitFor(State target, const std::vector<int>& which, double timeout, double& elapsed);
    // Runs the loop until no TCP data arrived for quietSeconds.
    bool WaitQuiet(double quietSeconds, double timeout);
    void KeepAlive();
    void PingTick();
    // Asks every settled user "pwc": a server that could not queue a line for a user clears
    // its login without telling it, and such a user's "pwc" is refused.
    void CheckLogins(const std::vector<int>& which, int& still, int& lost);

    // The pinging client's round trips, in ms, of the pings sent from the index on up to the
    // given time; one still unanswered counts with its age.
    std::vector<double> PingsSince(size_t from, double until = 1e300) const;
    const std::vector<Ping>& Pings() const { return pings_; }
    uint64_t LinesIn() const { return linesIn_; }
    uint64_t BytesIn() const { return bytesIn_; }
    double LastTcpData() const { return lastTcpData_; }
    void SetLastTcpData(double at) { lastTcpData_ = at; }
    int Failures() const { return failures_; }
    long RssPeak() const { return rssPeak_; }
    void SetRssPeak(long kib) { rssPeak_ = kib; }
    double Deadline() const { return deadline_; }

private:
    bool RaiseFileLimit(int needed);
    bool StartTcp(User& u);
    void Pump(const timespec* timeout);
    void OnTcp(User& u, uint32_t events);
    void OnUdp(User& u);
    void OnLine(User& u, const std::string& line);
    bool OnWatchedLine(User& u, const std::string& word, const std::string& line);
    void SendHello(User& u);
    void Fail(User& u, const std::string& why);
    void Advance(User& u);
    void Complete(User& u, bool answered, State next, const char* why);
    void CloseTcp(User& u);
    void Watch(User& u, bool output);
    void SampleServer();
    std::string JoinLine(const User& u) const;
    int EpollOf(const User& u) const { return u.urgent ? urgentEpoll_ : epoll_; }

    const Options& opt_;
    bool silent_ = false;  // users without voice: their UDP socket only says hello
    int crowd_ = 0;
    int epoll_ = -1;
    int urgentEpoll_ = -1;  // the pinging client's socket; itself watched by epoll_
    std::vector<User> users_;
    std::vector<int> members_;
    std::vector<int> talkers_;
    LineHook hook_;
    VoiceMeter voice_;
    double deadline_ = 0;
    double lastTcpData_ = 0;
    double lastKeepAlive_ = 0;
    int failures_ = 0;
    // Lines and bytes read on every TCP socket, the pinging client's answers, the
    // server's largest RSS seen.
    uint64_t linesIn_ = 0, bytesIn_ = 0;
    std::vector<Ping> pings_;
    int pinger_ = -1;
    double lastPing_ = 0, lastSample_ = 0;
    long rssPeak_ = -1;
};

#endif
