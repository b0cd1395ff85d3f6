// Which thread runs a reactor's loop, as the host relies on when it starts the loops; the
// check of state confined to that thread; and work handed to it.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ace/Manual_Event.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>

#include "network/ReactorThread.h"

namespace {

// A reactor whose loop runs on a thread of its own from construction to destruction.
class RunningLoop {
public:
    RunningLoop() : reactor(new ACE_Select_Reactor, 1), registered_(0) {
        thread_ = std::thread([this] {
            loopThread = std::this_thread::get_id();
            ReactorThread::RunLoop(&reactor, &registered_);
        });
        ACE_Time_Value timeout(10);
        EXPECT_EQ(registered_.wait(&timeout, 0), 0);
    }
    ~RunningLoop() { End(); }
    void End() {
        if (!thread_.joinable()) return;
        reactor.end_reactor_event_loop();
        thread_.join();
    }

    ACE_Reactor reactor;
    std::thread::id loopThread;

private:
    ACE_Manual_Event registered_;
    std::thread thread_;
};

// Appends its word on the thread that runs it.
struct Note : ACE_Event_Handler {
    Note(std::vector<std::string>& to, const char* what) : words(to), word(what) {}
    int handle_exception(ACE_HANDLE) override {
        words.push_back(word);
        return 0;
    }
    std::vector<std::string>& words;
    const char* word;
};

TEST(ReactorThreadTest, RunLoopSignalsOnceItsThreadIsKnownAsTheLoopThread) {
    ACE_Reactor reactor(new ACE_Select_Reactor, 1);
    // Nobody runs the loop: any thread may act on the reactor directly.
    EXPECT_TRUE(ReactorThread::IsLoopThread(&reactor));
    {
        RunningLoop loop;
        // From the signal on, work for the loop is handed to its thread.
        EXPECT_TRUE(ReactorThread::LoopRunsElsewhere(&loop.reactor));
        EXPECT_FALSE(ReactorThread::IsLoopThread(&loop.reactor));
        loop.End();
        EXPECT_TRUE(ReactorThread::IsLoopThread(&loop.reactor));
    }
}

// Work handed over runs on the loop's thread after what the loop was asked before it, and
// the caller sees its effects on return; on the loop's own thread, and once no loop runs,
// it runs at once on the caller's.
TEST(ReactorThreadTest, RunOnLoopRunsWorkInOrderOnTheLoop) {
    RunningLoop loop;
    std::vector<std::string> words;  // the loop's until it ends
    Note first(words, "notified"), later(words, "notified later");
    std::thread::id ranOn, nestedOn;
    ASSERT_EQ(0, loop.reactor.notify(&first, ACE_Event_Handler::EXCEPT_MASK));
    ASSERT_TRUE(ReactorThread::RunOnLoop(&loop.reactor, [&] {
        ranOn = std::this_thread::get_id();
        words.push_back("handed");
        ReactorThread::RunOnLoop(&loop.reactor, [&] {
            nestedOn = std::this_thread::get_id();
            words.push_back("nested");
        });
        loop.reactor.notify(&later, ACE_Event_Handler::EXCEPT_MASK);
    }));
    ASSERT_TRUE(ReactorThread::RunOnLoop(&loop.reactor, [&] { words.push_back("second"); }));
    EXPECT_EQ(loop.loopThread, ranOn);
    EXPECT_EQ(loop.loopThread, nestedOn);
    EXPECT_EQ(words, (std::vector<std::string>{"notified", "handed", "nested", "notified later", "second"}));

    loop.End();
    std::thread::id afterOn;
    EXPECT_TRUE(ReactorThread::RunOnLoop(&loop.reactor, [&] { afterOn = std::this_thread::get_id(); }));
    EXPECT_EQ(std::this_thread::get_id(), afterOn);
}

// Debug builds (both sanitizer builds of the tests) abort on a touch of a loop's state
// from another thread while the loop runs; its own thread and a loop that nobody runs pass.
TEST(ReactorThreadDeathTest, AssertLoopThreadAbortsOffTheLoop) {
#ifdef NDEBUG
    GTEST_SKIP() << "the check is compiled out of release builds";
#else
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    ACE_Reactor idle(new ACE_Select_Reactor, 1);
    ReactorThread::AssertLoopThread(&idle);
    EXPECT_DEATH(
        {
            RunningLoop loop;
            ReactorThread::RunOnLoop(&loop.reactor, [&] { ReactorThread::AssertLoopThread(&loop.reactor); });
            ReactorThread::AssertLoopThread(&loop.reactor);
        },
        "touched from another thread");
#endif
}

}  // namespace
