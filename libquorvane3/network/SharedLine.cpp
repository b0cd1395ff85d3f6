#include "network/SharedLine.h"

#include <new>

#include <ace/Lock_Adapter_T.h>
#include <ace/Thread_Mutex.h>

#include "network/QueueEntryPool.h"

namespace {

// Reference counts of shared lines change on the threads that queue and write them.
ACE_Lock& ReferenceLock() {
    static ACE_Lock_Adapter<ACE_Thread_Mutex> lock;
    return lock;
}

}  // namespace

// The line's block and every duplicate queued on a connection come from the entry pool:
// ACE allocates a duplicate with the original's allocator and frees each with its own.
SharedLine::SharedLine(const std::string& text) : block_(0) {
    QueueEntryPool& pool = QueueEntryPool::Instance();
    void* memory = pool.malloc(sizeof(ACE_Message_Block));
    if (memory == 0) throw std::bad_alloc();
    block_ = new (memory)
        ACE_Message_Block(text.size(), ACE_Message_Block::MB_DATA, 0, 0, 0, &ReferenceLock(),
                          ACE_DEFAULT_MESSAGE_BLOCK_PRIORITY, ACE_Time_Value::zero, ACE_Time_Value::max_time, 0, &pool);
    block_->copy(text.data(), text.size());
}

SharedLine::~SharedLine() { block_->release(); }
