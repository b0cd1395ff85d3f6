// One outgoing line stored once and queued on many connections by reference, for the
// lines a broadcast sends to thousands of users. Its data block counts its references
// without a lock: the line, and every reference queued on a connection, live on the main
// loop's thread (or the host's while no loop runs).
#ifndef QUORVANE_NETWORK_SHAREDLINE_H
#define QUORVANE_NETWORK_SHAREDLINE_H

#include <string>

#include <ace/Message_Block.h>

class SharedLine {
public:
    explicit SharedLine(const std::string& text);
    ~SharedLine();

    SharedLine(const SharedLine&) = delete;
    SharedLine& operator=(const SharedLine&) = delete;

    const ACE_Message_Block& Block() const { return *block_; }

private:
    ACE_Message_Block* block_;
};

#endif
