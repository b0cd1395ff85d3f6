// What the benchmarks read about a process and the machine from /proc.
#ifndef QUORVANE_BENCH_PROCSTATS_H
#define QUORVANE_BENCH_PROCSTATS_H

#include <cstdint>

// utime + stime of a process in seconds; -1 when it cannot be read.
double ProcessCpu(int pid);

// VmRSS in KiB; -1 when it cannot be read.
long ProcessRssKiB(int pid);

// Open descriptors of a process; -1 when they cannot be read.
int ProcessDescriptors(int pid);

// Time the host took the virtual CPUs away from this machine (steal), all CPUs, in ms.
double StealMs();

// Datagrams the kernel dropped for lack of buffer: on the sockets bound to the voice port
// (the server's) and on the sockets connected to it (the clients').
void UdpDrops(int port, uint64_t& serverDrops, uint64_t& clientDrops);

#endif
