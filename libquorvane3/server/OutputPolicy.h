// What a send means for its user, one rule for every connection. A reply (a line to the
// user whose command runs) may pass its connection's high water mark; any other line that
// finds the output full makes its user lagging: it hears nothing more, is logged out and
// its connection closes on a later turn (ServerUser::CloseAsLagging). A line that was
// queued has the output of every connection together compared with its bound.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_OUTPUTPOLICY_H
#define QUORVANE_SERVER_OUTPUTPOLICY_H

#include "server/OutputBound.h"

namespace quorvane {
namespace server {

class OutputPolicy {
public:
    enum Verdict { QUEUED, NOT_QUEUED, LAGGING };

    explicit OutputPolicy(OutputBound& bound) : bound_(bound) {}

    // result: what StreamHandler's Send, SendShared or SendSource answered.
    Verdict Judge(int result);

private:
    OutputBound& bound_;
};

}  // namespace server
}  // namespace quorvane

#endif
