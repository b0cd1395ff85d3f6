// The bound on the memory that the output of every connection together holds
// (max-output-queue): lines queued and not yet written (a line shared by many receivers
// counted some times, not once per receiver: see OutputQueue::Memory), the memory of
// listings that wait, and the lines that replaced listing lines keep alive. When a send finds the total past the bound, a pass on
// a later turn closes the connections that hold the most as lagging (logged out,
// UserLagging, closed), largest first, until the rest fit under it again.
//
// Threads: the main loop's thread; the figures it reads are atomics.
#ifndef QUORVANE_SERVER_OUTPUTLIMIT_H
#define QUORVANE_SERVER_OUTPUTLIMIT_H

#include <cstdint>

#include <ace/Event_Handler.h>

#include "server/OutputBound.h"
#include "settings/SettingsTable.h"

namespace quorvane {
namespace server {

class UserRegistry;

class OutputLimit : public ACE_Event_Handler, public OutputBound {
public:
    static constexpr int64_t DEFAULT_LIMIT = SettingsTable::Default("max-output-queue");

    // loop runs the pass; users are whom it closes.
    OutputLimit(ACE_Reactor* loop, UserRegistry& users) : loop_(loop), users_(users) {}
    ~OutputLimit() override;
    OutputLimit(const OutputLimit&) = delete;
    OutputLimit& operator=(const OutputLimit&) = delete;

    // Bytes; 0 means no bound.
    void SetLimit(int64_t bytes);
    int64_t GetLimit() const { return limit_; }
    // The output of every connection, as the bound counts it. Any thread.
    static int64_t Total();

    // Output was queued: past the bound, the pass is asked for (once until it ran).
    void Queued() override;
    // The pass.
    int handle_exception(ACE_HANDLE) override;

private:
    void Trim();

    ACE_Reactor* const loop_;
    UserRegistry& users_;
    int64_t limit_ = DEFAULT_LIMIT;
    bool passPending_ = false;
};

}  // namespace server
}  // namespace quorvane

#endif
