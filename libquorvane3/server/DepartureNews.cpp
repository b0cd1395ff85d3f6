#include "server/DepartureNews.h"

#include <algorithm>

#include <ace/Reactor.h>

#include "network/ReactorThread.h"
#include "network/SharedLine.h"
#include "server/ChannelTree.h"
#include "server/LineWriter.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

DepartureNews::DepartureNews(ACE_Reactor* loop, const ChannelTree& tree, UserRegistry& users)
    : loop_(loop), tree_(tree), users_(users) {}

DepartureNews::~DepartureNews() { Stop(); }

void DepartureNews::Leave(ServerUser& user, const serverchannel_t& channel) {
    ReactorThread::AssertLoopThread(loop_);
    const std::string line = LineWriter::RemoveUser(user);
    channel->ForgetUser(user.GetUserID());
    channels_[channel.get()].leavers.push_back(Record(channel, line));
}

void DepartureNews::Changed(const serverchannel_t& channel) { Record(channel, std::string()); }

uint64_t DepartureNews::Record(const serverchannel_t& channel, const std::string& line) {
    ReactorThread::AssertLoopThread(loop_);
    const uint64_t position = End();
    News news;
    news.channel = channel;
    news.line = line;
    news_.push_back(news);
    ChannelNews& changed = channels_[channel.get()];
    changed.channel = channel;
    changed.lastChange = position;
    lastNews_ = Clock::now();
    if (!armed_ && !passing_) {
        firstNews_ = lastNews_;
        Arm(SETTLE_MS);
    }
    // Bounded: past MAX_NEWS everyone is told now, and the news forgotten.
    if (news_.size() >= MAX_NEWS) TellEveryone();
    return position;
}

void DepartureNews::TellEveryone() {
    passing_ = false;
    RunPass(true);
}

// The line for each receiver is built once per kind of receiver (what it heard, its
// channel, administrator or not) during one turn of the pass: a pass over thousands of
// users who heard nothing of it builds one line per channel.
void DepartureNews::CatchUp(ServerUser& user, cache_t* cache) {
    ReactorThread::AssertLoopThread(loop_);
    const uint64_t from = std::max(user.HeardUpTo(), base_);
    if (from >= End()) return;
    user.SetHeardUpTo(End());  // first: the send below must not come back here
    if (!user.IsLoggedIn()) return;
    const serverchannel_t channel = user.GetChannel();
    const bool admin = user.IsAdmin();
    if (!cache) {
        const std::string text = Owed(from, admin, channel.get());
        if (!text.empty()) user.SendLine(text);
        return;
    }
    std::shared_ptr<SharedLine>& line = (*cache)[std::make_tuple(from, channel.get(), admin)];
    if (!line) {
        const std::string text = Owed(from, admin, channel.get());
        line = std::make_shared<SharedLine>(text);
    }
    if (line->Block().length() != 0) user.SendShared(*line);
}

std::string DepartureNews::Owed(uint64_t from, bool admin, const ServerChannel* channel) {
    std::string text;
    if (admin) {
        for (size_t i = static_cast<size_t>(from - base_); i < news_.size(); ++i) text += news_[i].line;
    } else if (channel) {
        const std::map<const ServerChannel*, ChannelNews>::const_iterator own = channels_.find(channel);
        if (own != channels_.end())
            for (uint64_t position : own->second.leavers)
                if (position >= from) text += news_[static_cast<size_t>(position - base_)].line;
    }
    // Each changed channel once, as it is now, in the order of their last changes.
    std::vector<std::pair<uint64_t, serverchannel_t>> changed;
    for (const auto& entry : channels_) {
        if (entry.second.lastChange < from) continue;
        const serverchannel_t current = entry.second.channel.lock();
        // One removed meanwhile was announced as removed.
        if (current && tree_.Holds(current)) changed.push_back(std::make_pair(entry.second.lastChange, current));
    }
    std::sort(changed.begin(), changed.end(),
              [](const std::pair<uint64_t, serverchannel_t>& a, const std::pair<uint64_t, serverchannel_t>& b) {
                  return a.first < b.first;
              });
    for (const auto& entry : changed) text += LineWriter::Channel("updatechannel", *entry.second, admin);
    return text;
}

bool DepartureNews::RunPass(bool whole) {
    if (!passing_) {
        passing_ = true;
        passCursor_ = 1;
        passEnd_ = End();
    }
    cache_t cache;
    const UserRegistry::users_t& users = users_.All();
    UserRegistry::users_t::const_iterator it = users.lower_bound(passCursor_);
    for (int visited = 0; it != users.end() && (whole || visited < PASS_USERS); ++visited) {
        // The send may close this user's connection later, never now: the walk is safe.
        const serveruser_t user = it->second;
        passCursor_ = it->first + 1;
        CatchUp(*user, &cache);
        it = users.lower_bound(passCursor_);
    }
    if (it != users.end()) return false;
    passing_ = false;
    Forget(passEnd_);
    return true;
}

void DepartureNews::Forget(uint64_t position) {
    while (base_ < position && !news_.empty()) {
        news_.pop_front();
        ++base_;
    }
    for (std::map<const ServerChannel*, ChannelNews>::iterator it = channels_.begin(); it != channels_.end();) {
        std::vector<uint64_t>& leavers = it->second.leavers;
        leavers.erase(leavers.begin(), std::lower_bound(leavers.begin(), leavers.end(), base_));
        if (leavers.empty() && it->second.lastChange < base_) it = channels_.erase(it);
        else ++it;
    }
}

int DepartureNews::handle_timeout(const ACE_Time_Value&, const void*) {
    ReactorThread::AssertLoopThread(loop_);
    armed_ = false;
    const Clock::time_point now = Clock::now();
    if (!passing_) {
        if (news_.empty()) return 0;
        const int settled =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastNews_).count());
        const int waited =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - firstNews_).count());
        if (settled < SETTLE_MS && waited < MAX_DELAY_MS) {
            Arm(std::min(SETTLE_MS - settled, MAX_DELAY_MS - waited));
            return 0;
        }
    }
    if (!RunPass(false)) {
        Arm(0);  // the rest on later turns, after the other events
    } else if (!news_.empty()) {
        firstNews_ = now;  // news came during the pass: another one
        Arm(SETTLE_MS);
    }
    return 0;
}

void DepartureNews::Arm(int delayMs) {
    if (armed_ || !loop_) return;
    armed_ = loop_->schedule_timer(this, 0, ACE_Time_Value(0, static_cast<suseconds_t>(delayMs) * 1000)) != -1;
}

void DepartureNews::Stop() {
    ReactorThread::AssertLoopThread(loop_);
    if (armed_ && loop_) loop_->cancel_timer(this, 1);
    armed_ = false;
    passing_ = false;
    Forget(End());
}

}  // namespace server
}  // namespace quorvane
