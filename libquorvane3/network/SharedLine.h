// One outgoing line stored once and queued on many connections by reference, for the
// lines a broadcast sends to thousands of users. Its data block counts references under
// a lock, so connections may release their references on any thread.
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
