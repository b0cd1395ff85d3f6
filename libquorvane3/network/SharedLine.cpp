#include "network/SharedLine.h"

#include <new>

#include "network/QueueEntryPool.h"

// The line's block and every duplicate queued on a connection come from the entry pool:
// ACE allocates a duplicate with the original's allocator and frees each with its own.
// No locking strategy: ACE then counts the data block's references plainly.
SharedLine::SharedLine(const std::string& text) : block_(0) {
    QueueEntryPool& pool = QueueEntryPool::Instance();
    void* memory = pool.malloc(sizeof(ACE_Message_Block));
    if (memory == 0) throw std::bad_alloc();
    block_ = new (memory)
        ACE_Message_Block(text.size(), ACE_Message_Block::MB_DATA, 0, 0, 0, 0, ACE_DEFAULT_MESSAGE_BLOCK_PRIORITY,
                          ACE_Time_Value::zero, ACE_Time_Value::max_time, 0, &pool);
    block_->copy(text.data(), text.size());
}

SharedLine::~SharedLine() { block_->release(); }
