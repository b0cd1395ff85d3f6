// Output that a connection makes as it drains instead of queuing it at once: a long
// listing. Its place in the connection's queue is kept by a marker, lines queued after it
// wait behind it, and the writer asks it for more only when it reaches the marker, so a
// client that does not read holds a piece of it at most, never the whole.
//
// Threads: the connection's loop thread: Produce runs there, and the source is destroyed
// with the queue there.
#ifndef QUORVANE_NETWORK_OUTPUTSOURCE_H
#define QUORVANE_NETWORK_OUTPUTSOURCE_H

#include <cstddef>

class ACE_Message_Block;

class OutputSource {
public:
    virtual ~OutputSource() = default;

    // Makes its next blocks, about budget bytes (at least one block while anything is
    // left), linked through next() from first to last; the queue takes them over. Both
    // stay null when nothing was left. Answers true once nothing is left.
    virtual bool Produce(size_t budget, ACE_Message_Block*& first, ACE_Message_Block*& last) = 0;
    // The memory it holds while it waits (what it shares with other sources not counted).
    virtual size_t Footprint() const = 0;
};

#endif
