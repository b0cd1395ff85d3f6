// One outgoing line stored once and queued on many connections by reference, for the
// lines a broadcast sends to thousands of users. Its bytes are counted plainly, without a
// lock: the line, and every reference queued on a connection, live on the main loop's
// thread (or the host's while no loop runs).
#ifndef QUORVANE_NETWORK_SHAREDLINE_H
#define QUORVANE_NETWORK_SHAREDLINE_H

#include <string>

#include <ace/Message_Block.h>

class SharedLine {
public:
    // The line's bytes and their count of holders: the line itself and each queue entry.
    struct Text {
        unsigned holders;
        ACE_Message_Block* block;
    };

    explicit SharedLine(const std::string& text);
    ~SharedLine();

    SharedLine(const SharedLine&) = delete;
    SharedLine& operator=(const SharedLine&) = delete;

    const ACE_Message_Block& Block() const { return *text_->block; }
    // A holder more of the bytes, for a queue that keeps them past this object; Let go
    // releases one.
    Text* Hold() const {
        ++text_->holders;
        return text_;
    }
    static void LetGo(Text* text);

private:
    Text* text_;
};

#endif
