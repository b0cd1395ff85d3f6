// Thousands of users log in at once and some join one channel: the times taken, the
// server's memory per user, whether all are still logged in, and whether one more client
// still logs in and gets its lines.
#include <cstdio>

#include "BenchNet.h"
#include "Modes.h"
#include "ProcStats.h"

namespace {

int RunExtraClient(Crowd& crowd, const Options& o) {
    User& u = crowd.Users().back();
    u.channel = 0;
    u.joins = true;
    double loginTime = 0, joinTime = 0;
    bool ok = crowd.WaitFor(State::LoggedIn, {u.index}, 30, loginTime);
    int channels = u.addchannels;
    if (ok) ok = crowd.WaitFor(State::Ready, {u.index}, 60, joinTime);
    printf("EXTRA ok=%d login_s=%.3f join_s=%.3f addchannel_lines=%d adduser_lines=%d expected_adduser=%d%s%s\n",
           ok ? 1 : 0, loginTime, joinTime, channels, u.addusers, o.joiners + 1,
           u.error.empty() ? "" : " error=", u.error.c_str());
    return ok && u.addusers == o.joiners + 1 ? 0 : 1;
}

}  // namespace

int RunScale(Crowd& crowd, const Options& o) {
    if (!crowd.Setup(o.users, 1, true))  // past the crowd: the one more client
        return 2;
    const std::vector<int> all = crowd.Members(), joiners = crowd.Joiners();
    long rss0 = ProcessRssKiB(o.serverPid);
    double loginTime = 0, joinTime = 0;
    bool loggedIn = crowd.WaitFor(State::LoggedIn, all, o.setupTimeout, loginTime);
    int logged = 0;
    for (int i : all) logged += crowd.At(i).state == State::LoggedIn;
    printf("LOGIN users=%d logged_in=%d seconds=%.3f failures=%d\n", o.users, logged, loginTime, crowd.Failures());
    fflush(stdout);
    crowd.WaitQuiet(0.3, 30);
    long rss1 = ProcessRssKiB(o.serverPid);
    bool joined = loggedIn && crowd.WaitFor(State::Ready, joiners, o.setupTimeout, joinTime);
    double quietStart = Now();
    bool quiet = crowd.WaitQuiet(0.5, o.setupTimeout);
    double drainTime = Now() - quietStart - (quiet ? 0.5 : 0);
    long rss2 = ProcessRssKiB(o.serverPid);
    int still = 0, lost = 0;
    crowd.CheckLogins(all, still, lost);
    printf(
        "JOIN joiners=%d ok=%d seconds=%.3f broadcast_drain_s=%.3f failures=%d still_logged_in=%d "
        "silently_logged_out=%d\n",
        int(joiners.size()), joined ? 1 : 0, joinTime, drainTime, crowd.Failures(), still, lost);
    fflush(stdout);
    int extra = RunExtraClient(crowd, o);
    long rss3 = ProcessRssKiB(o.serverPid);
    double perUser = rss0 >= 0 && rss1 >= 0 ? double(rss1 - rss0) / o.users : -1;
    double perUserJoined = rss0 >= 0 && rss2 >= 0 ? double(rss2 - rss0) / o.users : -1;
    printf(
        "RESULT users=%d logged_in=%d login_s=%.3f join_s=%.3f rss0_kib=%ld rss_login_kib=%ld rss_join_kib=%ld "
        "rss_end_kib=%ld rss_per_user_kib=%.2f rss_per_user_joined_kib=%.2f extra_ok=%d failures=%d "
        "broadcast_drain_s=%.3f still_logged_in=%d silently_logged_out=%d\n",
        o.users, logged, loginTime, joinTime, rss0, rss1, rss2, rss3, perUser, perUserJoined, extra == 0 ? 1 : 0,
        crowd.Failures(), drainTime, still, lost);
    fflush(stdout);
    return loggedIn && joined && extra == 0 ? 0 : 1;
}
