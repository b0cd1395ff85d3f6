#include <sys/ioctl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ace/OS_NS_sys_socket.h>
#include <ace/SOCK_Dgram.h>

#include "ReactorLoop.h"
#include "network/PacketHandler.h"

using namespace networktest;
using quorvane::PacketHandler;

namespace {

const ACE_INET_Addr LOOPBACK_ANY_PORT(static_cast<u_short>(0), "127.0.0.1");

class RecordingPacketListener : public quorvane::PacketListener {
public:
    void OnPacketReceived(char* data, int length, const ACE_INET_Addr& from) override {
        std::lock_guard<std::mutex> guard(mutex_);
        packets_.push_back(std::string(data, static_cast<size_t>(length)));
        from_ = from;
    }
    std::vector<std::string> Packets() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return packets_;
    }
    size_t Count() const { return Packets().size(); }
    ACE_INET_Addr From() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return from_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> packets_;
    ACE_INET_Addr from_;
};

class PacketHandlerTest : public ::testing::TestWithParam<ReactorKind> {
protected:
    PacketHandlerTest() : loop_(GetParam()), handler_(loop_.reactor()) {}
    void SetUp() override {
        loop_.Start();
        ASSERT_TRUE(handler_.Open(LOOPBACK_ANY_PORT));
        ASSERT_EQ(0, handler_.GetSocket().get_local_addr(server_));
        ASSERT_EQ(0, client_.open(LOOPBACK_ANY_PORT));
    }
    // The loop stops before the handler goes, so no read can be in flight.
    void TearDown() override { loop_.Stop(); }

    void Send(const std::string& datagram) {
        ASSERT_EQ(static_cast<ssize_t>(datagram.size()), client_.send(datagram.data(), datagram.size(), server_));
    }

    RecordingPacketListener first_;
    RecordingPacketListener second_;
    ReactorLoop loop_;
    PacketHandler handler_;
    ACE_SOCK_Dgram client_;
    ACE_INET_Addr server_;
};

TEST_P(PacketHandlerTest, DeliversWholeDatagramsAndDropsLongerOrEmptyOnes) {
    handler_.AddListener(&first_);
    const std::string longest(512, 'L');
    Send(longest);
    Send(std::string(513, 'X'));
    Send("");
    Send("next");
    ASSERT_TRUE(WaitFor([&] { return first_.Count() == 2; }));
    EXPECT_EQ((std::vector<std::string>{longest, "next"}), first_.Packets());
    ACE_INET_Addr client;
    client_.get_local_addr(client);
    EXPECT_EQ(AF_INET, first_.From().get_type());
    EXPECT_EQ(client, first_.From());
}

TEST_P(PacketHandlerTest, EveryListenerReceivesEachDatagramOnce) {
    handler_.AddListener(&first_);
    handler_.AddListener(&second_);
    handler_.AddListener(&first_);
    Send("a");
    Send("b");
    ASSERT_TRUE(WaitFor([&] { return first_.Count() == 2 && second_.Count() == 2; }));
    ASSERT_TRUE(loop_.RunOnLoop([] {}));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), first_.Packets());
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), second_.Packets());
}

TEST_P(PacketHandlerTest, WithoutListenersDatagramsAreStillReadAndDiscarded) {
    handler_.AddListener(&first_);
    handler_.RemoveListener(&first_);
    for (int i = 0; i < 3; ++i) Send("lost");
    ASSERT_TRUE(WaitFor([&] {
        int pending = -1;
        return ACE_OS::ioctl(handler_.get_handle(), FIONREAD, &pending) == 0 && pending == 0;
    }));
    handler_.AddListener(&first_);
    Send("kept");
    ASSERT_TRUE(WaitFor([&] { return first_.Count() == 1; }));
    EXPECT_EQ(std::vector<std::string>{"kept"}, first_.Packets());
}

INSTANTIATE_TEST_SUITE_P(Reactors, PacketHandlerTest, ::testing::Values(EPOLL_REACTOR, SELECT_REACTOR),
                         ReactorKindName);

TEST(PacketHandlerLifetimeTest, CloseAndDestructionLeaveNothingRegistered) {
    for (ReactorKind kind : {EPOLL_REACTOR, SELECT_REACTOR}) {
        std::unique_ptr<ReactorLoop> loop(new ReactorLoop(kind));
        ACE_Reactor* const reactor = loop->reactor();
        ACE_Event_Handler* found = 0;
        ACE_HANDLE handle;
        {
            PacketHandler handler(reactor);
            ASSERT_TRUE(handler.Open(LOOPBACK_ANY_PORT));
            handle = handler.get_handle();
            EXPECT_EQ(0, reactor->handler(handle, ACE_Event_Handler::READ_MASK, &found));
            EXPECT_EQ(&handler, found);
            EXPECT_EQ(PacketHandler::EVENT_PRIORITY, handler.priority());
            EXPECT_FALSE(handler.Open(LOOPBACK_ANY_PORT));  // already open

            EXPECT_TRUE(handler.Close());
            EXPECT_EQ(-1, reactor->handler(handle, ACE_Event_Handler::READ_MASK, &found));
            ASSERT_TRUE(handler.Open(LOOPBACK_ANY_PORT));  // reopens
            handle = handler.get_handle();
        }
        EXPECT_EQ(-1, reactor->handler(handle, ACE_Event_Handler::READ_MASK, &found));

        // A handler that outlives its reactor must not touch it again.
        PacketHandler survivor(reactor);
        ASSERT_TRUE(survivor.Open(LOOPBACK_ANY_PORT));
        loop.reset();
    }
}

}  // namespace
