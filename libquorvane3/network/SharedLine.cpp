#include "network/SharedLine.h"

#include <new>

#include "network/QueueEntryPool.h"

static_assert(sizeof(SharedLine::Text) <= QueueEntryPool::ENTRY_BYTES, "a line's count must fit a pool cell");

// The line's block, its count and every block a listing duplicates from it come from the
// entry pool: ACE allocates a duplicate with the original's allocator and frees each with
// its own. No locking strategy: ACE then counts the data block's references plainly.
SharedLine::SharedLine(const std::string& text) : text_(0) {
    QueueEntryPool& pool = QueueEntryPool::Instance();
    void* memory = pool.malloc(sizeof(ACE_Message_Block));
    void* count = pool.malloc(sizeof(Text));
    if (memory == 0 || count == 0) {
        pool.free(memory);
        pool.free(count);
        throw std::bad_alloc();
    }
    ACE_Message_Block* const block = new (memory)
        ACE_Message_Block(text.size(), ACE_Message_Block::MB_DATA, 0, 0, 0, 0, ACE_DEFAULT_MESSAGE_BLOCK_PRIORITY,
                          ACE_Time_Value::zero, ACE_Time_Value::max_time, 0, &pool);
    block->copy(text.data(), text.size());
    text_ = new (count) Text{1, block};
}

SharedLine::~SharedLine() { LetGo(text_); }

void SharedLine::LetGo(Text* text) {
    if (--text->holders != 0) return;
    text->block->release();
    QueueEntryPool::Instance().free(text);
}
