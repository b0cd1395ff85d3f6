// Load generator for the voice server. Connects many users over loopback (TCP login and
// join, UDP hello), has some of them talk and the rest listen, and reports delivered
// copies, loss, one-way latency and the server's CPU time; or runs one of the other modes
// (Modes.h): a mass login, a control-plane storm, a command flood, file deletions, the
// minimal broadcaster's cost, or a probe of the machine's own stalls.
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Crowd.h"
#include "Modes.h"
#include "Options.h"

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.stallProbe > 0) return StallProbe(std::min(o.stallProbe, o.maxTime));
    if (o.realtime) {
        sched_param param{};
        param.sched_priority = 1;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            fprintf(stderr, "loadgen: no real-time priority (%s); talking at normal priority\n", strerror(errno));
    }
    Crowd crowd(o);
    if (o.scale) return RunScale(crowd, o);
    if (o.storm) return RunStorm(crowd, o);
    if (o.minimal) return RunMinimal(crowd, o);
    if (o.flood > 0) return RunFlood(crowd, o);
    if (o.deletes > 0) return RunDeletes(crowd, o);
    return RunAudio(crowd, o);
}
