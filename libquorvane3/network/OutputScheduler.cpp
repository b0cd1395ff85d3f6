#include "network/OutputScheduler.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

#include <ace/Reactor.h>

#include "network/StreamHandler.h"

namespace {

// One lock for the registry and every line: it is held for a few pointer moves only.
std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::map<ACE_Reactor*, OutputScheduler*>& Registry() {
    static std::map<ACE_Reactor*, OutputScheduler*> schedulers;
    return schedulers;
}

OutputScheduler* Find(ACE_Reactor* reactor) {
    std::map<ACE_Reactor*, OutputScheduler*>::const_iterator it = Registry().find(reactor);
    return it == Registry().end() ? 0 : it->second;
}

}  // namespace

OutputScheduler::OutputScheduler(ACE_Reactor* reactor, ACE_HANDLE wake)
    : ACE_Event_Handler(reactor), wake_(wake), awake_(false), first_(0), last_(0) {}

OutputScheduler::~OutputScheduler() { ::close(wake_); }

bool OutputScheduler::Ensure(ACE_Reactor* reactor) {
    if (reactor == 0) return false;
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        if (Find(reactor) != 0) return true;
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) return false;
    OutputScheduler* scheduler = new OutputScheduler(reactor, wake);
    // Registered without the registry's lock: a reactor may hold its own lock while it
    // calls a scheduler, which then takes the registry's.
    if (reactor->register_handler(scheduler, ACE_Event_Handler::READ_MASK) == -1) {
        delete scheduler;
        return false;
    }
    std::lock_guard<std::mutex> guard(RegistryLock());
    if (Find(reactor) == 0) {
        Registry()[reactor] = scheduler;
        return true;
    }
    // Another thread made one meanwhile: ours goes, through its handle_close.
    reactor->remove_handler(scheduler, ACE_Event_Handler::READ_MASK);
    return true;
}

bool OutputScheduler::Queue(ACE_Reactor* reactor, StreamHandler* handler) { return Line(reactor, handler, false); }

bool OutputScheduler::QueueTurn(ACE_Reactor* reactor, StreamHandler* handler) { return Line(reactor, handler, true); }

// An output pass keeps the place the connection has in line; a turn goes to the end.
bool OutputScheduler::Line(ACE_Reactor* reactor, StreamHandler* handler, bool turn) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    OutputScheduler* const scheduler = Find(reactor);
    if (scheduler == 0) return false;
    const bool wasListed = handler->outputListed_;
    if (wasListed && !turn) {
        handler->outputWanted_ = true;
        return true;
    }
    const bool output = handler->outputWanted_;
    if (wasListed) scheduler->Unlink(handler);
    scheduler->Append(handler);
    handler->outputWanted_ = output;
    if (!scheduler->awake_) {
        const uint64_t one = 1;
        if (::write(scheduler->wake_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
            if (!wasListed) scheduler->Unlink(handler);
            return false;  // the caller falls back on a notification of its own
        }
        scheduler->awake_ = true;
    }
    (turn ? handler->turnWanted_ : handler->outputWanted_) = true;
    return true;
}

void OutputScheduler::Forget(ACE_Reactor* reactor, StreamHandler* handler) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    if (!handler->outputListed_) return;
    if (OutputScheduler* const scheduler = Find(reactor)) scheduler->Unlink(handler);
}

void OutputScheduler::Append(StreamHandler* handler) {
    handler->outputPrev_ = last_;
    handler->outputNext_ = 0;
    if (last_ != 0) {
        last_->outputNext_ = handler;
    } else {
        first_ = handler;
    }
    last_ = handler;
    handler->outputListed_ = true;
}

void OutputScheduler::Unlink(StreamHandler* handler) {
    if (handler->outputPrev_ != 0) {
        handler->outputPrev_->outputNext_ = handler->outputNext_;
    } else {
        first_ = handler->outputNext_;
    }
    if (handler->outputNext_ != 0) {
        handler->outputNext_->outputPrev_ = handler->outputPrev_;
    } else {
        last_ = handler->outputPrev_;
    }
    handler->outputPrev_ = handler->outputNext_ = 0;
    handler->outputListed_ = false;
    handler->outputWanted_ = handler->turnWanted_ = false;
}

StreamHandler* OutputScheduler::PopFront(bool& output, bool& turn) {
    StreamHandler* const handler = first_;
    if (handler == 0) return 0;
    output = handler->outputWanted_;
    turn = handler->turnWanted_;
    Unlink(handler);
    return handler;
}

// Serves the line from its front for one slice: each connection's output pass, then its
// listener's turn, as the reactor would call them, so either may close the connection
// (and so delete it): it is out of the line before they start. What is left waits with the
// wake still signalled, so the reactor comes back here after the other events.
int OutputScheduler::handle_input(ACE_HANDLE) {
    const std::chrono::steady_clock::time_point sliceEnds =
        std::chrono::steady_clock::now() + std::chrono::microseconds(SLICE_MICROSECONDS);
    for (;;) {
        StreamHandler* handler = 0;
        bool output = false, turn = false;
        {
            std::lock_guard<std::mutex> guard(RegistryLock());
            handler = PopFront(output, turn);
            if (handler == 0) {
                uint64_t count = 0;
                if (::read(wake_, &count, sizeof count) == static_cast<ssize_t>(sizeof count) || errno == EAGAIN)
                    awake_ = false;
                return 0;
            }
        }
        int result = output ? handler->handle_output() : 0;
        if (result != -1 && turn) result = handler->handle_input();
        if (result == -1) handler->handle_close();
        if (std::chrono::steady_clock::now() >= sliceEnds) return 0;
    }
}

// The reactor is closing (or never took us): every connection leaves the line.
int OutputScheduler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
    {
        std::lock_guard<std::mutex> guard(RegistryLock());
        while (first_ != 0) Unlink(first_);
        std::map<ACE_Reactor*, OutputScheduler*>::iterator it = Registry().find(reactor());
        if (it != Registry().end() && it->second == this) Registry().erase(it);
    }
    delete this;
    return 0;
}
