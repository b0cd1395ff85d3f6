// Which thread runs a reactor's loop, as the host relies on when it starts the loops.
#include <thread>

#include <gtest/gtest.h>

#include <ace/Manual_Event.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>

#include "network/ReactorThread.h"

namespace {

TEST(ReactorThreadTest, RunLoopSignalsOnceItsThreadIsKnownAsTheLoopThread) {
    ACE_Reactor reactor(new ACE_Select_Reactor, 1);
    // Nobody runs the loop: any thread may act on the reactor directly.
    EXPECT_TRUE(ReactorThread::IsLoopThread(&reactor));

    ACE_Manual_Event registered(0);
    std::thread loop([&] { ReactorThread::RunLoop(&reactor, &registered); });
    ACE_Time_Value timeout(10);
    EXPECT_EQ(registered.wait(&timeout, 0), 0);
    // From the signal on, work for the loop is handed to its thread.
    EXPECT_TRUE(ReactorThread::LoopRunsElsewhere(&reactor));

    reactor.end_reactor_event_loop();
    loop.join();
    EXPECT_TRUE(ReactorThread::IsLoopThread(&reactor));
}

}  // namespace
