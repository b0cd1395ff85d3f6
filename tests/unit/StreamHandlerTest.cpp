#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ace/ACE.h>
#include <ace/OS_NS_sys_socket.h>

#include "ReactorLoop.h"
#include "RecordingStreamListener.h"
#include "network/QueueEntryPool.h"
#include "network/SharedLine.h"
#include "network/StreamHandler.h"

using namespace networktest;

namespace {

// Counts its own deletion, so a test sees that a close really freed the handler.
class ProbeHandler : public StreamHandler {
public:
    ProbeHandler(ACE_Reactor* reactor, std::atomic<int>& deletions) : StreamHandler(reactor), deletions_(deletions) {}
    ~ProbeHandler() override { ++deletions_; }

private:
    std::atomic<int>& deletions_;
};

std::string Pattern(size_t length, int seed) {
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>((i * 7 + seed) % 251);
    return text;
}

bool WriteAll(ACE_HANDLE fd, const std::string& data) {
    return ACE::send_n(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

// Reads exactly length bytes, or fails at the deadline or on end of stream.
bool ReadExactly(ACE_HANDLE fd, size_t length, std::string& out, int timeoutMs = 5000) {
    std::vector<char> buffer(65536);
    return WaitFor(
        [&] {
            pollfd ready = {fd, POLLIN, 0};
            if (out.size() < length && poll(&ready, 1, 10) == 1) {
                const ssize_t n = ACE_OS::recv(fd, buffer.data(), std::min(buffer.size(), length - out.size()));
                if (n > 0) out.append(buffer.data(), static_cast<size_t>(n));
            }
            return out.size() == length;
        },
        timeoutMs);
}

// A handler on one end of a fresh socket pair; the other end is returned in peer.
ProbeHandler* MakeHandler(ACE_Reactor* reactor, std::atomic<int>& deletions, StreamListener* listener,
                          ACE_HANDLE& peer) {
    ACE_HANDLE fds[2];
    if (ACE_OS::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    ProbeHandler* handler = new ProbeHandler(reactor, deletions);
    handler->peer().set_handle(fds[0]);
    handler->SetListener(listener);
    peer = fds[1];
    return handler;
}

class StreamHandlerTest : public ::testing::TestWithParam<ReactorKind> {
protected:
    StreamHandlerTest() : loop_(GetParam()) {}
    ~StreamHandlerTest() override {
        for (ACE_HANDLE fd : peers_) ACE_OS::closesocket(fd);
    }
    void SetUp() override { loop_.Start(); }

    // Made and opened on the loop's thread, as the acceptor does.
    ProbeHandler* Open(StreamListener* listener, ACE_HANDLE& peer) {
        ProbeHandler* handler = MakeHandler(loop_.reactor(), deletions_, listener, peer);
        int result = -1;
        EXPECT_TRUE(handler && loop_.RunOnLoop([&] { result = handler->open(); }));
        EXPECT_EQ(0, result);
        peers_.push_back(peer);
        return handler;
    }
    void ClosePeer(ACE_HANDLE fd) {
        peers_.erase(std::find(peers_.begin(), peers_.end(), fd));
        ACE_OS::closesocket(fd);
    }

    std::atomic<int> deletions_{0};
    RecordingStreamListener listener_;
    RecordingStreamListener other_;
    ReactorLoop loop_;
    std::vector<ACE_HANDLE> peers_;
};

TEST_P(StreamHandlerTest, CarriesDataInOrderAndClosesOnTheLoopWhenAskedFromElsewhere) {
    ACE_HANDLE peer;
    ProbeHandler* handler = Open(&listener_, peer);
    EXPECT_EQ(1, listener_.Opened());

    const std::string in = Pattern(200000, 1);
    ASSERT_TRUE(WriteAll(peer, in));
    ASSERT_TRUE(WaitFor([&] { return listener_.Data().size() == in.size(); }));
    EXPECT_EQ(in, listener_.Data());

    // Another thread hands its lines to the loop's.
    const std::string a = Pattern(1000, 2), b = Pattern(70000, 3), c = "end";
    ASSERT_TRUE(loop_.RunOnLoop([&] {
        EXPECT_EQ(0, handler->Send(a.data(), a.size()));
        EXPECT_EQ(0, handler->Send(b.data(), b.size()));
        EXPECT_EQ(0, handler->Send(c.data(), c.size()));
    }));
    std::string out;
    ASSERT_TRUE(ReadExactly(peer, a.size() + b.size() + c.size(), out));
    EXPECT_EQ(a + b + c, out);

    handler->close();
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 1; }));
    EXPECT_EQ(1, listener_.Closed());
    EXPECT_EQ(loop_.LoopThread(), listener_.ClosedOn());
    char byte;
    EXPECT_EQ(0, ACE_OS::recv(peer, &byte, 1));  // the socket was closed
}

// Passes are served in line by one scheduler per reactor: a connection closed while it
// waits in the line leaves it, and the others still get their output.
TEST_P(StreamHandlerTest, AConnectionClosedWhileWaitingForItsPassLeavesTheLine) {
    std::vector<ACE_HANDLE> peers(3);
    std::vector<ProbeHandler*> handlers;
    for (ACE_HANDLE& peer : peers) handlers.push_back(Open(&listener_, peer));
    ASSERT_TRUE(loop_.RunOnLoop([&] {
        for (ProbeHandler* handler : handlers) EXPECT_EQ(0, handler->Send("line\n", 5));
        handlers[1]->close();  // on the loop, outside its callbacks: at once
    }));
    EXPECT_EQ(1, deletions_);
    for (size_t i : {0u, 2u}) {
        std::string out;
        EXPECT_TRUE(ReadExactly(peers[i], 5, out));
        EXPECT_EQ("line\n", out);
    }
}

TEST_P(StreamHandlerTest, ASharedLineReachesEveryConnectionAndOutlivesItsSender) {
    ACE_HANDLE firstPeer, secondPeer;
    ProbeHandler* first = Open(&listener_, firstPeer);
    ProbeHandler* second = Open(&other_, secondPeer);
    const std::string text = "updatechannel channel=\"/a/\"\r\n";
    const long long queuedBefore = StreamHandler::QueuedBytesOfAll();
    // Dropped before the loop writes it: the queued references keep the bytes.
    ASSERT_TRUE(loop_.RunOnLoop([&] {
        SharedLine line(text);
        EXPECT_EQ(0, first->SendShared(line));
        EXPECT_EQ(0, second->Send("x", 1));
        EXPECT_EQ(0, second->SendShared(line));
    }));
    std::string one, two;
    ASSERT_TRUE(ReadExactly(firstPeer, text.size(), one));
    ASSERT_TRUE(ReadExactly(secondPeer, text.size() + 1, two));
    EXPECT_EQ(text, one);
    EXPECT_EQ("x" + text, two);

    // Queued on a connection that already wrote everything; released after its write.
    ASSERT_TRUE(loop_.RunOnLoop([&] {
        SharedLine late("late\r\n");
        EXPECT_EQ(0, second->SendShared(late));
    }));
    std::string rest;
    ASSERT_TRUE(ReadExactly(secondPeer, 6, rest));
    EXPECT_EQ("late\r\n", rest);
    // Every queued byte was written and counted off again.
    EXPECT_TRUE(WaitFor([&] { return StreamHandler::QueuedBytesOfAll() == queuedBefore; }));
}

// Entries are carved from slabs, and a slab goes back to the system with its last entry.
TEST(QueueEntryPoolTest, ReturnsEachSlabWithItsLastEntry) {
    QueueEntryPool pool;
    EXPECT_EQ(nullptr, pool.malloc(QueueEntryPool::ENTRY_BYTES + 1));
    std::vector<char*> entries;
    while (pool.Slabs() < 3) {
        entries.push_back(static_cast<char*>(pool.malloc(QueueEntryPool::ENTRY_BYTES)));
        ASSERT_NE(nullptr, entries.back());
        std::fill_n(entries.back(), QueueEntryPool::ENTRY_BYTES, static_cast<char>(entries.size()));
    }
    const size_t perSlab = (entries.size() - 1) / 2;
    EXPECT_GT(perSlab, 1000u);
    // Every entry kept its own bytes; freeing all but the last slab's keeps one spare.
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(std::string(QueueEntryPool::ENTRY_BYTES, static_cast<char>(i + 1)),
                  std::string(entries[i], QueueEntryPool::ENTRY_BYTES));
    for (size_t i = 0; i + 1 < entries.size(); ++i) pool.free(entries[i]);
    EXPECT_EQ(1u, pool.Entries());
    EXPECT_EQ(2u, pool.Slabs());
    // Freed cells are handed out again before a new slab is mapped.
    for (size_t i = 0; i + 1 < 2 * perSlab; ++i) entries[i] = static_cast<char*>(pool.calloc(size_t(1), size_t(8)));
    EXPECT_EQ(2u, pool.Slabs());
    for (size_t i = 0; i + 1 < 2 * perSlab; ++i) pool.free(entries[i]);
    pool.free(entries.back());
    EXPECT_EQ(0u, pool.Entries());
    EXPECT_EQ(1u, pool.Slabs());
}

TEST_P(StreamHandlerTest, CloseFromInsideOnStreamDataWaitsForTheCallbackToReturn) {
    std::atomic<ProbeHandler*> self{nullptr};
    int sendInside = 0, closedInside = -1, deletedInside = -1;
    listener_.onData = [&](bool&) {
        self.load()->close();
        sendInside = self.load()->Send("x", 1);
        closedInside = listener_.Closed();
        deletedInside = deletions_;
    };
    ACE_HANDLE peer;
    self = Open(&listener_, peer);
    ASSERT_TRUE(WriteAll(peer, "bye"));
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 1; }));
    EXPECT_LT(sendInside, 0);
    EXPECT_EQ(0, closedInside);
    EXPECT_EQ(0, deletedInside);

    // Closing and clearing keepOpen together still closes once.
    std::atomic<ProbeHandler*> second{nullptr};
    other_.onData = [&](bool& keepOpen) {
        second.load()->close();
        keepOpen = false;
    };
    ACE_HANDLE otherPeer;
    second = Open(&other_, otherPeer);
    ASSERT_TRUE(WriteAll(otherPeer, "bye"));
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 2; }));
    ASSERT_TRUE(loop_.RunOnLoop([] {}));
    EXPECT_EQ(1, listener_.Closed());
    EXPECT_EQ(1, other_.Closed());
}

// Input held for a turn of its own switches the connection's every event off; a close on
// that turn must still take the handler out of the reactor before deleting it (the
// reactor's own shutdown would otherwise meet the freed handler).
TEST_P(StreamHandlerTest, CloseOnAHeldTurnUnregistersTheHandler) {
    listener_.onData = [&](bool&) { listener_.pending = true; };
    listener_.onResume = [](bool& keepOpen) { keepOpen = false; };
    ACE_HANDLE peer;
    const ACE_HANDLE handle = Open(&listener_, peer)->get_handle();
    ASSERT_TRUE(WriteAll(peer, "later\r\n"));
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 1; }));
    EXPECT_EQ(1, listener_.Closed());
    int found = 0;
    ASSERT_TRUE(loop_.RunOnLoop([&] { found = loop_.reactor()->handler(handle, ACE_Event_Handler::ALL_EVENTS_MASK); }));
    EXPECT_EQ(-1, found);
}

TEST_P(StreamHandlerTest, CloseFromAnotherThreadDuringOnStreamDataIsDeferred) {
    std::atomic<bool> inside{false}, release{false};
    listener_.onData = [&](bool&) {
        inside = true;
        WaitFor([&] { return release.load(); });
    };
    ACE_HANDLE peer;
    ProbeHandler* handler = Open(&listener_, peer);
    ASSERT_TRUE(WriteAll(peer, "data"));
    ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
    handler->close();
    EXPECT_EQ(0, listener_.Closed());
    EXPECT_EQ(0, deletions_);
    EXPECT_LT(handler->Send("x", 1), 0);
    release = true;
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 1; }));
    EXPECT_EQ(1, listener_.Closed());
    EXPECT_EQ(loop_.LoopThread(), listener_.ClosedOn());
}

TEST_P(StreamHandlerTest, PeerCloseAndListenerlessCloseEachEndTheHandlerOnce) {
    ACE_HANDLE peer;
    Open(&listener_, peer);
    ClosePeer(peer);
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 1; }));
    EXPECT_EQ(1, listener_.Closed());

    ACE_HANDLE barePeer;
    ProbeHandler* bare = Open(0, barePeer);
    bare->close();
    ASSERT_TRUE(WaitFor([&] { return deletions_ == 2; }));
    EXPECT_EQ(1, listener_.Closed());
}

TEST_P(StreamHandlerTest, ReportsReadyOnceAfterDrainingAndNeverWithoutOutput) {
    ACE_HANDLE quietPeer, peer;
    Open(&other_, quietPeer);
    ProbeHandler* handler = Open(&listener_, peer);
    const std::string message = Pattern(5000, 4);
    ASSERT_TRUE(loop_.RunOnLoop([&] { EXPECT_EQ(0, handler->Send(message.data(), message.size())); }));
    std::string out;
    ASSERT_TRUE(ReadExactly(peer, message.size(), out));
    ASSERT_TRUE(WaitFor([&] { return listener_.Ready() == 1; }));
    ASSERT_TRUE(loop_.RunOnLoop([] {}));
    EXPECT_EQ(1, listener_.Ready());
    EXPECT_EQ(0, other_.Ready());
}

TEST_P(StreamHandlerTest, PartlyWrittenBlockIsFinishedFirstWhenThePeerReadsAgain) {
    ACE_HANDLE peer;
    ProbeHandler* handler = Open(&listener_, peer);
    // Each block is larger than the socket pair can hold.
    std::string all;
    for (int i = 0; i < 3; ++i) {
        const std::string block = Pattern(300000, 10 + i);
        ASSERT_TRUE(loop_.RunOnLoop([&] { EXPECT_EQ(0, handler->Send(block.data(), block.size())); }));
        all += block;
    }
    ASSERT_TRUE(WaitFor([&] {
        int pending = 0;
        return ACE_OS::ioctl(peer, FIONREAD, &pending) == 0 && pending > 0;
    }));
    EXPECT_NE(0u, handler->QueuedBytes());
    std::string out;
    ASSERT_TRUE(ReadExactly(peer, all.size(), out, 10000));
    EXPECT_TRUE(out == all);
    ASSERT_TRUE(WaitFor([&] { return listener_.Ready() == 1; }));
}

TEST_P(StreamHandlerTest, ReactorShutdownClosesOpenHandlers) {
    {
        ReactorLoop own(GetParam());
        own.Start();
        ACE_HANDLE ownPeer;
        ProbeHandler* handler = MakeHandler(own.reactor(), deletions_, &other_, ownPeer);
        peers_.push_back(ownPeer);
        ASSERT_TRUE(own.RunOnLoop([&] { EXPECT_EQ(0, handler->open()); }));
    }
    EXPECT_EQ(1, deletions_);
    EXPECT_EQ(1, other_.Closed());
}

// Lines of a source, made as the writer reaches it; counts what it made and its end.
class LineSource : public OutputSource {
public:
    LineSource(int lines, std::atomic<int>& made, std::atomic<int>& ended)
        : lines_(lines), made_(made), ended_(ended) {}
    ~LineSource() override { ++ended_; }
    bool Produce(size_t budget, ACE_Message_Block*& first, ACE_Message_Block*& last) override {
        for (size_t bytes = 0; made_ < lines_ && bytes < budget; bytes += LINE) {
            ACE_Message_Block* block = new ACE_Message_Block(LINE);
            block->copy(Pattern(LINE, made_++).data(), LINE);
            if (last) last->next(block);
            else first = block;
            last = block;
        }
        return made_ == lines_;
    }
    size_t Footprint() const override { return 100; }
    static const size_t LINE = 1000;

private:
    const int lines_;
    std::atomic<int>& made_;
    std::atomic<int>& ended_;
};

// A source's output is made a piece at a time as the peer reads: a peer that reads nothing
// holds at most one piece besides what its socket took; what was queued behind the source
// follows it, and a connection closed with the source waiting destroys it.
TEST_P(StreamHandlerTest, ASourceIsMadeAsThePeerReadsAndWhatFollowsWaitsBehindIt) {
    const int LINES = 3000;  // far more than the socket's buffers hold
    std::atomic<int> made{0}, ended{0};
    for (const bool read : {true, false}) {
        made = 0;
        ended = 0;
        ACE_HANDLE peer;
        ProbeHandler* handler = Open(&listener_, peer);
        int socketBuffer = 0;
        socklen_t size = sizeof socketBuffer;
        ASSERT_EQ(0, getsockopt(peer, SOL_SOCKET, SO_RCVBUF, &socketBuffer, &size));
        ASSERT_TRUE(loop_.RunOnLoop([&] {
            EXPECT_EQ(0, handler->Send("before", 6));
            EXPECT_EQ(0, handler->SendSource(std::unique_ptr<OutputSource>(new LineSource(LINES, made, ended))));
            EXPECT_EQ(0, handler->Send("after", 5));
            EXPECT_EQ(100u, handler->SourceBytes());
        }));
        if (!read) {
            // Stopped at a full socket: made no more than it took and one piece.
            ASSERT_TRUE(WaitFor([&] { return made > 0; }));
            ASSERT_TRUE(loop_.RunOnLoop([] {}));
            EXPECT_LT(static_cast<size_t>(made) * LineSource::LINE,
                      2 * static_cast<size_t>(socketBuffer) + StreamHandler::WRITE_BYTES);
            handler->close();
            ASSERT_TRUE(WaitFor([&] { return ended == 1; }));
            break;
        }
        std::string out, expected = "before";
        for (int i = 0; i < LINES; ++i) expected += Pattern(LineSource::LINE, i);
        ASSERT_TRUE(ReadExactly(peer, expected.size() + 5, out));
        EXPECT_TRUE(out == expected + "after");
        ASSERT_TRUE(WaitFor([&] { return ended == 1 && handler->SourceBytes() == 0; }));
        handler->close();
    }
}

INSTANTIATE_TEST_SUITE_P(Reactors, StreamHandlerTest, ::testing::Values(EPOLL_REACTOR, SELECT_REACTOR),
                         ReactorKindName);

// The reactor's loop is not run here: the test makes the reactor's calls itself.
// A full read does not ask to be called again at once: what waits is read on the next
// turn of the loop, after the other connections.
TEST(StreamHandlerDirectTest, OneReadPerEventAndEndOfStreamCloses) {
    ReactorLoop loop(EPOLL_REACTOR);
    std::atomic<int> deletions{0};
    RecordingStreamListener listener;
    ACE_HANDLE peer;
    ProbeHandler* handler = MakeHandler(loop.reactor(), deletions, &listener, peer);
    ASSERT_EQ(0, handler->open());  // also makes the socket non-blocking

    ASSERT_TRUE(WriteAll(peer, Pattern(65536, 5)));
    EXPECT_EQ(0, handler->handle_input());
    ASSERT_TRUE(WriteAll(peer, Pattern(65535, 6)));
    EXPECT_EQ(0, handler->handle_input());
    EXPECT_EQ(0, handler->handle_input());  // nothing waiting
    EXPECT_EQ(Pattern(65536, 5) + Pattern(65535, 6), listener.Data());

    // End of stream: the close waits for a turn of its own (a notification), so that
    // many clients leaving at once do not hold up the reads of the others.
    ACE_OS::closesocket(peer);
    EXPECT_EQ(0, handler->handle_input());
    EXPECT_EQ(0, listener.Closed());
    EXPECT_EQ(-1, handler->handle_input());  // that turn
    handler->close();                        // no loop runs, so the close is immediate
    EXPECT_EQ(1, deletions);
    EXPECT_EQ(1, listener.Closed());
}

TEST(StreamHandlerDirectTest, SendFailsOnceTheQueueHoldsTheHighWaterMark) {
    ReactorLoop loop(EPOLL_REACTOR);  // not running: nothing drains the queues
    std::atomic<int> deletions{0};
    ACE_HANDLE fullPeer, nearlyPeer;
    ProbeHandler* full = MakeHandler(loop.reactor(), deletions, 0, fullPeer);
    ProbeHandler* nearly = MakeHandler(loop.reactor(), deletions, 0, nearlyPeer);

    const std::string chunk(65536, 'q');
    for (int i = 0; i < 16; ++i) EXPECT_EQ(0, full->Send(chunk.data(), chunk.size()));
    EXPECT_EQ(1048576u, full->QueuedBytes());
    EXPECT_LT(full->Send("x", 1), 0);

    const std::string almost(1048575, 'a');
    EXPECT_EQ(0, nearly->Send(almost.data(), almost.size()));
    EXPECT_EQ(0, nearly->Send(chunk.data(), chunk.size()));
    EXPECT_EQ(StreamHandler::SEND_FULL, nearly->Send("x", 1));
    EXPECT_TRUE(nearly->IsOutputFull());
    // A reply to the client's own command still goes in.
    EXPECT_EQ(0, nearly->Send(chunk.data(), chunk.size(), true));

    full->close();
    nearly->close();
    EXPECT_EQ(2, deletions);
    ACE_OS::closesocket(fullPeer);
    ACE_OS::closesocket(nearlyPeer);
}

}  // namespace
