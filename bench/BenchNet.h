// Small pieces the file benchmark programs share: the monotonic clock in seconds and a
// loopback address.
#ifndef QUORVANE_BENCH_BENCHNET_H
#define QUORVANE_BENCH_BENCHNET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>

#include <cstring>

inline double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

inline sockaddr_in Loopback(int port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

#endif
