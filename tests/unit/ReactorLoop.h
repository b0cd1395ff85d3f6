// Test fixture piece: a reactor of a chosen kind whose event loop runs on its own thread,
// registered through ReactorThread like the server's loops, plus bounded waiting.
#ifndef QUORVANE_TESTS_REACTORLOOP_H
#define QUORVANE_TESTS_REACTORLOOP_H

#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>

#include "TestClient.h"
#include "network/ReactorThread.h"

namespace networktest {

enum ReactorKind { EPOLL_REACTOR, SELECT_REACTOR };

inline const char* ReactorKindName(const ::testing::TestParamInfo<ReactorKind>& info) {
    return info.param == EPOLL_REACTOR ? "Epoll" : "Select";
}

using testing_support::WaitFor;

class ReactorLoop {
public:
    explicit ReactorLoop(ReactorKind kind)
        : reactor_(new ACE_Reactor(kind == EPOLL_REACTOR ? static_cast<ACE_Reactor_Impl*>(new ACE_Dev_Poll_Reactor)
                                                         : static_cast<ACE_Reactor_Impl*>(new ACE_Select_Reactor),
                                   1)) {}

    // Ends the loop, then closes the reactor, which closes whatever is still registered.
    ~ReactorLoop() {
        Stop();
        delete reactor_;
    }

    ACE_Reactor* reactor() const { return reactor_; }

    void Start() {
        thread_ = std::thread([this] {
            loopThread_ = std::this_thread::get_id();
            ReactorThread::RunLoop(reactor_);
        });
        WaitFor([this] { return ReactorThread::LoopRunsElsewhere(reactor_); });
    }

    void Stop() {
        if (!thread_.joinable()) return;
        reactor_->end_reactor_event_loop();
        thread_.join();
    }

    std::thread::id LoopThread() const { return loopThread_; }

    // Runs the work on the loop's thread and waits for it (ReactorThread::RunOnLoop, as the
    // server hands work to its loop). Also serves as a barrier: everything the loop had
    // already been asked to do before has been dispatched.
    bool RunOnLoop(const std::function<void()>& work) { return ReactorThread::RunOnLoop(reactor_, work); }

private:
    ACE_Reactor* reactor_;
    std::thread thread_;
    std::thread::id loopThread_;
};

}  // namespace networktest

#endif
