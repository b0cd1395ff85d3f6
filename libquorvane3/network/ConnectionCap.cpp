#include "network/ConnectionCap.h"

#include <algorithm>

const void* ConnectionCap::Opened(const void* connection) {
    entries_.push_back(Entry{connection, false, false, ++clock_});
    if (Count() <= cap_) return nullptr;
    Entry* oldest = nullptr;
    for (Entry& entry : entries_)
        if (!entry.busy && !entry.closing && (!oldest || entry.lastUsed < oldest->lastUsed)) oldest = &entry;
    // The newcomer is idle: there is always one to choose.
    oldest->closing = true;
    return oldest->connection;
}

void ConnectionCap::Busy(const void* connection) {
    if (Entry* entry = Find(connection)) entry->busy = true;
}

void ConnectionCap::Idle(const void* connection) {
    if (Entry* entry = Find(connection)) {
        entry->busy = false;
        entry->lastUsed = ++clock_;
    }
}

void ConnectionCap::Closed(const void* connection) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [connection](const Entry& entry) { return entry.connection == connection; }),
                   entries_.end());
}

size_t ConnectionCap::Count() const {
    return static_cast<size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const Entry& entry) { return !entry.closing; }));
}

ConnectionCap::Entry* ConnectionCap::Find(const void* connection) {
    for (Entry& entry : entries_)
        if (entry.connection == connection) return &entry;
    return nullptr;
}
