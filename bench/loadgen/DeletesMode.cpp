// Files uploaded to --channel one after another, then deleted one after another, by the
// administrator (--admin) or by the operator of a channel it creates by joining it, while
// another client pings every --ping-interval s and is read before every other socket. Each
// upload goes over a data connection of its own, as a client's does. Reports the time of
// each step and the round trips; the voice is measured by a separate audio run over the
// windows this writes (the deletions, and the uploads).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "BenchNet.h"
#include "LineClient.h"
#include "Modes.h"

namespace {

struct Steps {
    long long transferId = 0;  // from the last "fileaccepted"
    bool delivering = false, completed = false, removed = false;
    std::string refused;
    std::string name;  // the file being uploaded or deleted
};

// Runs the loop until `done` holds, a client failed or the time ran out.
bool Await(Crowd& crowd, const std::vector<int>& clients, const std::function<bool()>& done, double timeout) {
    const double until = std::min(Now() + timeout, crowd.Deadline());
    while (!done()) {
        for (int k : clients)
            if (crowd.At(k).state == State::Failed) return false;
        if (Now() > until) return false;
        crowd.Pump(1);
        crowd.KeepAlive();
    }
    return true;
}

std::string Times(const char* prefix, std::vector<double> ms) {
    char buf[200];
    if (ms.empty()) return std::string(prefix) + "_ms_p50=0";
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    snprintf(buf, sizeof buf, "%s_ms_p50=%.2f %s_ms_p99=%.2f %s_ms_max=%.2f", prefix, at(0.5), prefix, at(0.99), prefix,
             ms.back());
    return buf;
}

}  // namespace

int RunDeletes(Crowd& crowd, const Options& o) {
    if (!crowd.Setup(0, 3, true)) return 2;
    const int pinger = 0, deleter = 1, data = 2;
    crowd.SetPinger(pinger);
    User& d = crowd.At(deleter);
    d.joins = false;
    d.watch = true;
    d.admin = !o.adminUser.empty();
    User& c = crowd.At(data);
    c.joins = false;
    c.watch = true;
    c.plain = true;
    Steps s;
    crowd.SetLineHook([&](User& u, const std::string& word, const std::string& line) {
        if (u.index == deleter && word == "fileaccepted") s.transferId = LineParam(line, "transferid", 0);
        else if (u.index == deleter && word == "filerejected") s.refused = line;
        else if (u.index == deleter && word == "removefile" &&
                 line.find("filename=\"" + s.name + "\"") != std::string::npos)
            s.removed = true;
        else if (u.index == data && word == "filedeliver") s.delivering = true;
        else if (u.index == data && word == "filecompleted") s.completed = true;
    });
    double t = 0;
    bool ok = crowd.WaitFor(State::LoggedIn, {pinger, deleter}, o.setupTimeout, t);
    if (ok && !d.admin)  // the operator: it creates the channel by joining it
        ok = crowd.WaitFor(State::Ready, {deleter}, o.setupTimeout, t);
    if (!ok) {
        printf("RESULT ok=0 note=set-up-failed failures=%d\n", crowd.Failures());
        return 1;
    }
    const std::string channel = "channel=\"" + o.channel + "\"";
    const std::string content(size_t(o.fileBytes), 'x');
    auto name = [](int i) { return "d" + std::to_string(i) + ".bin"; };
    const std::vector<int> both = {deleter, data};
    uint64_t quietFrom = 0, quietTo = 0;
    const std::string quietPings = QuietPings(crowd, 2, quietFrom, quietTo);

    // Uploads, one after another: register, connect, send, wait for completion.
    std::string why;
    std::vector<double> uploadMs, deleteMs;
    const size_t ping0 = crowd.Pings().size();
    const uint64_t uploadFrom = NowNs();
    const double u0 = Now();
    for (int i = 0; i < o.deletes && why.empty(); ++i) {
        const double at = Now();
        s = Steps();
        s.name = name(i);
        crowd.SendTcp(d, "regsendfile " + channel + " filename=\"" + s.name +
                             "\" filesize=" + std::to_string(o.fileBytes) + "\r\n");
        if (!Await(
                crowd, both, [&] { return s.transferId > 0 || !s.refused.empty(); }, 30) ||
            !s.refused.empty()) {
            why = "registration: " + (s.refused.empty() ? d.error : s.refused);
            break;
        }
        crowd.Reset(c);
        crowd.StartUser(c);
        if (!Await(
                crowd, both, [&] { return c.state == State::Ready; }, 30)) {
            why = "data connection: " + c.error;
            break;
        }
        crowd.SendTcp(c, "sendfile transferid=" + std::to_string(s.transferId) + "\r\n");
        if (!Await(
                crowd, both, [&] { return s.delivering; }, 30)) {
            why = "sendfile: " + c.error;
            break;
        }
        crowd.SendTcp(c, content);
        if (!Await(
                crowd, both, [&] { return s.completed; }, 30)) {
            why = "upload: " + c.error;
            break;
        }
        crowd.CloseUser(c);
        uploadMs.push_back((Now() - at) * 1000);
    }
    const double uploadS = Now() - u0;
    const uint64_t uploadTo = NowNs();
    const std::string uploadPings = PingSummary("upload_", crowd.PingsSince(ping0), true);

    // Deletions, one after another: each is done when its "removefile" comes back.
    const size_t ping1 = crowd.Pings().size();
    const uint64_t deleteFrom = NowNs();
    const double d0 = Now();
    for (int i = 0; i < int(uploadMs.size()) && why.empty(); ++i) {
        const double at = Now();
        s = Steps();
        s.name = name(i);
        crowd.SendTcp(d, "deletefile filename=\"" + s.name + "\" " + channel + "\r\n");
        if (!Await(
                crowd, both, [&] { return s.removed; }, 30)) {
            why = "delete: " + d.error;
            break;
        }
        deleteMs.push_back((Now() - at) * 1000);
    }
    const double deleteS = Now() - d0;
    const uint64_t deleteTo = NowNs();
    const std::string deletePings = PingSummary("", crowd.PingsSince(ping1), true);
    if (!o.windowFile.empty()) {
        std::ofstream(o.windowFile, std::ios::trunc).close();
        AppendWindow(o.windowFile, "", deleteFrom, deleteTo);
        AppendWindow(o.windowFile, "uploads", uploadFrom, uploadTo);
        AppendWindow(o.windowFile, "before", quietFrom, quietTo);
    }
    if (!why.empty()) fprintf(stderr, "loadgen: %s\n", why.c_str());
    ok = why.empty() && int(deleteMs.size()) == o.deletes;
    printf(
        "RESULT ok=%d deleter=%s files=%d file_bytes=%d uploaded=%zu upload_s=%.3f %s deleted=%zu delete_s=%.3f "
        "deletes_per_s=%.1f %s %s %s %s%s\n",
        ok ? 1 : 0, d.admin ? "admin" : "operator", o.deletes, o.fileBytes, uploadMs.size(), uploadS,
        Times("upload", uploadMs).c_str(), deleteMs.size(), deleteS,
        deleteS > 0 ? double(deleteMs.size()) / deleteS : 0, Times("delete", deleteMs).c_str(), deletePings.c_str(),
        uploadPings.c_str(), quietPings.c_str(), why.empty() ? "" : " note=failed");
    return ok ? 0 : 1;
}
