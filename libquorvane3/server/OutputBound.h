// The bound on the output of every connection together, as a send sees it: OutputLimit
// implements it.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_OUTPUTBOUND_H
#define QUORVANE_SERVER_OUTPUTBOUND_H

namespace quorvane {
namespace server {

class OutputBound {
public:
    virtual ~OutputBound() = default;
    // Output was queued: past the bound, the largest outputs close on a later turn.
    virtual void Queued() = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
