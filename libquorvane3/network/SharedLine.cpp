#include "network/SharedLine.h"

#include <ace/Lock_Adapter_T.h>
#include <ace/Thread_Mutex.h>

namespace {

// Reference counts of shared lines change on the threads that queue and write them.
ACE_Lock& ReferenceLock() {
    static ACE_Lock_Adapter<ACE_Thread_Mutex> lock;
    return lock;
}

}  // namespace

SharedLine::SharedLine(const std::string& text)
    : block_(new ACE_Message_Block(text.size(), ACE_Message_Block::MB_DATA, 0, 0, 0, &ReferenceLock())) {
    block_->copy(text.data(), text.size());
}

SharedLine::~SharedLine() { block_->release(); }
