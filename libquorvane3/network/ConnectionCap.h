// The cap on the metrics server's connections, and who goes when it is reached: the
// connection that has been idle longest (between requests, or not done sending its
// first), so that connections which only hold a place cannot shut out a scrape. A
// connection being answered is never chosen; when every other one is, the newcomer goes.
// Plain bookkeeping: it owns no socket and closes nothing itself.
//
// Threads: not thread safe; the metrics server calls it on its HTTP thread only.
#ifndef QUORVANE_NETWORK_CONNECTIONCAP_H
#define QUORVANE_NETWORK_CONNECTIONCAP_H

#include <cstddef>
#include <cstdint>
#include <vector>

class ConnectionCap {
public:
    explicit ConnectionCap(size_t cap) : cap_(cap) {}

    // A connection was accepted (idle until its request is answered). Answers the one to
    // close now, which counts as gone at once; null while the cap holds them all.
    const void* Opened(const void* connection);
    // Its request is being answered / the answer is done (it waits for the next).
    void Busy(const void* connection);
    void Idle(const void* connection);
    // It is gone; unknown connections are ignored.
    void Closed(const void* connection);
    // Connections counted against the cap.
    size_t Count() const;

private:
    struct Entry {
        const void* connection;
        bool busy;
        bool closing;       // chosen to go; gone once Closed
        uint64_t lastUsed;  // when it was accepted or its last answer was done
    };
    Entry* Find(const void* connection);

    const size_t cap_;
    std::vector<Entry> entries_;  // at most the cap and those closing
    uint64_t clock_ = 0;
};

#endif
