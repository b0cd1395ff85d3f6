// The load generator's modes, one file each; every one sets the crowd up as it needs and
// ends with a "RESULT name=value ..." line.
#ifndef QUORVANE_BENCH_LOADGEN_MODES_H
#define QUORVANE_BENCH_LOADGEN_MODES_H

#include <string>
#include <vector>

#include "Crowd.h"
#include "Options.h"

// Talkers and listeners: one measured run, or --search for the highest rate within the
// loss limit; with --relay against the minimal relay.
int RunAudio(Crowd& crowd, const Options& o);
// Thousands of users log in at once, some join one channel, one more client comes.
int RunScale(Crowd& crowd, const Options& o);
// Logins and joins, or one client's burst of joins, while another client pings.
int RunStorm(Crowd& crowd, const Options& o);
// Plain connections to bench/minbroadcast: its CPU time per delivered line.
int RunMinimal(Crowd& crowd, const Options& o);
// One client's flood of commands while another pings.
int RunFlood(Crowd& crowd, const Options& o);
// Files uploaded, then deleted one after another, while another client pings.
int RunDeletes(Crowd& crowd, const Options& o);
// Spins on the calling core and reports the gaps in its own progress.
int StallProbe(double seconds);

// The round trips as "pings=N ping_p99_ms=.. ping_max_ms=.. pings_over_50ms=N", each name
// with the prefix; with the median, "ping_p50_ms=.." after the count.
std::string PingSummary(const char* prefix, const std::vector<double>& ms, bool withMedian = false);

// Runs the loop for the seconds given with nothing else going on: the pings of a quiet
// server, as "before_pings=.." with the median, sent between fromNs and toNs.
std::string QuietPings(Crowd& crowd, double seconds, uint64_t& fromNs, uint64_t& toNs);

// Appends "name from_ns to_ns" to the window file (creating it), for the voice run to report.
void AppendWindow(const std::string& path, const std::string& name, uint64_t fromNs, uint64_t toNs);

#endif
