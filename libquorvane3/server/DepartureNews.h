// The news of users who left their channel as their connection closed, for those who
// stay. Sent at once, each leaver's "removeuser" would go to its channel and the
// channel's "updatechannel" to every logged-in user: when thousands leave at once, the
// square of the users in lines. Instead each departure is recorded here, and a receiver
// gets what it has not heard yet in one piece: the "removeuser" lines of its own channel's
// leavers (of every leaver, for an administrator), then each changed channel's
// "updatechannel" as the channel is now.
//
// Order: a receiver is brought up to date (CatchUp) before any other line goes to it and
// before it changes channel, so it hears everything in the order it happened. The others
// are brought up to date by a pass over every user, PASS_USERS per turn of the loop, once
// departures have stopped for SETTLE_MS (at most MAX_DELAY_MS after the first of them).
// What everyone has heard is forgotten after each pass; at MAX_NEWS departures not yet
// forgotten, the pass runs to its end at once.
//
// Threads: the main loop's thread (or the host's while no loop runs), checked in debug
// builds.
#ifndef QUORVANE_SERVER_DEPARTURENEWS_H
#define QUORVANE_SERVER_DEPARTURENEWS_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <ace/Event_Handler.h>

#include "server/DepartureFeed.h"
#include "server/ServerChannel.h"

class SharedLine;

namespace quorvane {
namespace server {

class ChannelTree;
class ServerUser;
class UserRegistry;

class DepartureNews : public ACE_Event_Handler, public DepartureFeed {
public:
    enum {
        SETTLE_MS = 20,
        MAX_DELAY_MS = 200,
        PASS_USERS = 512,
        MAX_NEWS = 65536,
    };

    // loop runs the pass's timer; tree tells which channels are still there; users are
    // those the pass brings up to date.
    DepartureNews(ACE_Reactor* loop, const ChannelTree& tree, UserRegistry& users);
    ~DepartureNews() override;
    DepartureNews(const DepartureNews&) = delete;
    DepartureNews& operator=(const DepartureNews&) = delete;

    // The user leaves the channel it is in: taken out of it without a line, its
    // "removeuser" recorded. The user's channel is still set.
    void Leave(ServerUser& user, const serverchannel_t& channel);
    // The channel changed otherwise as a user left (an operator gone): its update is owed.
    void Changed(const serverchannel_t& channel);

    // Where the record ends: a user that heard up to here has heard everything.
    uint64_t End() const override { return base_ + news_.size(); }
    // Sends the user, in one piece, what it has not heard yet (nothing unless logged in).
    void CatchUp(ServerUser& user) override { CatchUp(user, nullptr); }
    // Tells everyone now what they have not heard, and forgets it.
    void TellEveryone();
    // The server stops: forgets everything and cancels the pass.
    void Stop();

    // The pass's timer.
    int handle_timeout(const ACE_Time_Value& now, const void* act) override;

private:
    typedef std::chrono::steady_clock Clock;
    struct News {
        std::weak_ptr<ServerChannel> channel;
        std::string line;  // "removeuser", or empty for a change only
    };
    struct ChannelNews {
        std::weak_ptr<ServerChannel> channel;
        uint64_t lastChange = 0;
        std::vector<uint64_t> leavers;  // positions of its "removeuser" lines
    };
    typedef std::map<std::tuple<uint64_t, const ServerChannel*, bool>, std::shared_ptr<SharedLine>> cache_t;

    uint64_t Record(const serverchannel_t& channel, const std::string& line);
    // With a cache, receivers that owe the same share one line.
    void CatchUp(ServerUser& user, cache_t* cache);
    // What a receiver that heard up to from owes; empty when nothing.
    std::string Owed(uint64_t from, bool admin, const ServerChannel* channel);
    // Brings up to PASS_USERS more users up to date (all with whole); true when the pass ended.
    bool RunPass(bool whole);
    // Forgets what everyone heard: the news before position.
    void Forget(uint64_t position);
    void Arm(int delayMs);

    ACE_Reactor* const loop_;
    const ChannelTree& tree_;
    UserRegistry& users_;
    uint64_t base_ = 0;  // position of news_.front()
    std::deque<News> news_;
    std::map<const ServerChannel*, ChannelNews> channels_;
    bool armed_ = false;
    bool passing_ = false;
    int passCursor_ = 0;    // the next user id the pass visits
    uint64_t passEnd_ = 0;  // End() when the pass began: everyone will have heard that far
    Clock::time_point firstNews_, lastNews_;
};

}  // namespace server
}  // namespace quorvane

#endif
