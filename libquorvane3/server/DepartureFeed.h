// The news of departures as a user hears it: DepartureNews implements it, and a user
// catches up on it before any line goes to it or it changes channel.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_DEPARTUREFEED_H
#define QUORVANE_SERVER_DEPARTUREFEED_H

#include <cstdint>

namespace quorvane {
namespace server {

class ServerUser;

class DepartureFeed {
public:
    virtual ~DepartureFeed() = default;
    // Where the record ends: a user that heard up to here has heard everything.
    virtual uint64_t End() const = 0;
    // Sends the user, in one piece, what it has not heard yet (nothing unless logged in).
    virtual void CatchUp(ServerUser& user) = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
