#include "network/OutputScheduler.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>

#include <ace/Reactor.h>

#include "network/ReactorThread.h"
#include "network/StreamHandler.h"

namespace {

// Guards the registry: taken when a connection opens and when a reactor closes.
std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::map<ACE_Reactor*, std::shared_ptr<OutputScheduler>>& Registry() {
    static std::map<ACE_Reactor*, std::shared_ptr<OutputScheduler>> schedulers;
    return schedulers;
}

}  // namespace

OutputScheduler::OutputScheduler(ACE_Reactor* reactor, ACE_HANDLE wake) : ACE_Event_Handler(reactor), wake_(wake) {}

OutputScheduler::~OutputScheduler() {
    if (wake_ != ACE_INVALID_HANDLE) ::close(wake_);
}

std::shared_ptr<OutputScheduler> OutputScheduler::Ensure(ACE_Reactor* reactor) {
    if (reactor == 0) return nullptr;
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        const auto it = Registry().find(reactor);
        if (it != Registry().end()) return it->second;
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) return nullptr;
    std::shared_ptr<OutputScheduler> scheduler = std::make_shared<OutputScheduler>(reactor, wake);
    // Registered without the registry's lock: a reactor may hold its own lock while it
    // calls a scheduler, which then takes the registry's.
    if (reactor->register_handler(scheduler.get(), ACE_Event_Handler::READ_MASK) == -1) return nullptr;
    std::unique_lock<std::mutex> guard(RegistryLock());
    std::shared_ptr<OutputScheduler>& slot = Registry()[reactor];
    if (!slot) {
        slot = scheduler;
        return scheduler;
    }
    // Another thread made one meanwhile: ours leaves the reactor unused.
    std::shared_ptr<OutputScheduler> other = slot;
    guard.unlock();
    reactor->remove_handler(scheduler.get(), ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
    return other;
}

bool OutputScheduler::Wake() {
    if (awake_) return true;
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) return false;
    awake_ = true;
    return true;
}

// An output pass keeps the place the connection has in line.
bool OutputScheduler::Queue(StreamHandler* handler) {
    ReactorThread::AssertLoopThread(reactor());
    if (closed_) return false;
    if (handler->outputListed_) return true;
    if (!Wake()) return false;  // the caller falls back on a notification of its own
    handler->outputPrev_ = lastPass_;
    handler->outputNext_ = 0;
    (lastPass_ != 0 ? lastPass_->outputNext_ : firstPass_) = handler;
    lastPass_ = handler;
    handler->outputListed_ = true;
    handler->outputSequence_ = ++listed_;
    return true;
}

// A turn goes to the end of its line, behind the passes listed so far.
bool OutputScheduler::QueueTurn(StreamHandler* handler) {
    ReactorThread::AssertLoopThread(reactor());
    if (closed_) return false;
    if (handler->turnListed_) UnlinkTurn(handler);
    if (!Wake()) return false;
    handler->turnPrev_ = lastTurn_;
    handler->turnNext_ = 0;
    (lastTurn_ != 0 ? lastTurn_->turnNext_ : firstTurn_) = handler;
    lastTurn_ = handler;
    handler->turnListed_ = true;
    handler->turnAfter_ = listed_;
    return true;
}

void OutputScheduler::Forget(StreamHandler* handler) {
    ReactorThread::AssertLoopThread(reactor());
    if (handler->outputListed_) UnlinkPass(handler);
    if (handler->turnListed_) UnlinkTurn(handler);
}

void OutputScheduler::UnlinkPass(StreamHandler* handler) {
    (handler->outputPrev_ != 0 ? handler->outputPrev_->outputNext_ : firstPass_) = handler->outputNext_;
    (handler->outputNext_ != 0 ? handler->outputNext_->outputPrev_ : lastPass_) = handler->outputPrev_;
    handler->outputPrev_ = handler->outputNext_ = 0;
    handler->outputListed_ = false;
}

void OutputScheduler::UnlinkTurn(StreamHandler* handler) {
    (handler->turnPrev_ != 0 ? handler->turnPrev_->turnNext_ : firstTurn_) = handler->turnNext_;
    (handler->turnNext_ != 0 ? handler->turnNext_->turnPrev_ : lastTurn_) = handler->turnPrev_;
    handler->turnPrev_ = handler->turnNext_ = 0;
    handler->turnListed_ = false;
}

bool OutputScheduler::TurnReady() const {
    return firstTurn_ != 0 && (firstPass_ == 0 || firstPass_->outputSequence_ > firstTurn_->turnAfter_);
}

StreamHandler* OutputScheduler::PopPass() {
    StreamHandler* const handler = firstPass_;
    if (handler != 0) UnlinkPass(handler);
    return handler;
}

StreamHandler* OutputScheduler::PopTurn() {
    StreamHandler* const handler = firstTurn_;
    if (handler != 0) UnlinkTurn(handler);
    return handler;
}

// Serves the lines for one slice: every turn that may run, then one pass, and again. Each
// is called as the reactor would call it, so either may close the connection (and so
// delete it): it is out of its line before it starts. What is left waits with the wake
// still signalled, so the reactor comes back here after the other events.
int OutputScheduler::handle_input(ACE_HANDLE) {
    const std::shared_ptr<OutputScheduler> self = shared_from_this();  // a close may run inside
    const std::chrono::steady_clock::time_point sliceEnds =
        std::chrono::steady_clock::now() + std::chrono::microseconds(SLICE_MICROSECONDS);
    while (!closed_) {
        const bool turn = TurnReady();
        StreamHandler* const handler = turn ? PopTurn() : PopPass();
        if (handler == 0) {  // both lines are empty
            uint64_t count = 0;
            if (::read(wake_, &count, sizeof count) == static_cast<ssize_t>(sizeof count) || errno == EAGAIN)
                awake_ = false;
            return 0;
        }
        if ((turn ? handler->handle_input() : handler->handle_output()) == -1) handler->handle_close();
        if (std::chrono::steady_clock::now() >= sliceEnds) return 0;
    }
    return 0;
}

// The reactor is closing (or never took us): every connection leaves the lines, and no
// more come.
int OutputScheduler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    closed_ = true;
    while (firstPass_ != 0) UnlinkPass(firstPass_);
    while (firstTurn_ != 0) UnlinkTurn(firstTurn_);
    std::shared_ptr<OutputScheduler> self;  // we may go with the registry's reference: last
    std::lock_guard<std::mutex> guard(RegistryLock());
    const auto it = Registry().find(reactor());
    if (it != Registry().end() && it->second.get() == this) {
        self = it->second;
        Registry().erase(it);
    }
    return 0;
}
