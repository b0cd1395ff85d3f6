// The output path through its transport seam: how many writes a pass takes, and in which
// order the scheduler serves turns and passes. The transports here take every byte and
// record each write, so the counts are exact.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ace/Message_Block.h>
#include <ace/OS_NS_sys_socket.h>

#include "ReactorLoop.h"
#include "RecordingStreamListener.h"
#include "network/OutputQueue.h"
#include "network/SharedLine.h"
#include "network/StreamHandler.h"
#include "network/StreamTransport.h"

using namespace networktest;

namespace {

// Takes whatever it is given, records each write (pieces and bytes) and the order of the
// writes of every transport sharing its log; reads from the socket.
class RecordingTransport : public StreamTransport {
public:
    RecordingTransport(ACE_HANDLE socket, const std::string& name, std::vector<std::string>& log, std::mutex& lock)
        : socket_(socket), name_(name), log_(log), lock_(lock) {}

    ssize_t Write(const iovec* pieces, int count) override {
        std::lock_guard<std::mutex> guard(lock_);
        size_t bytes = 0;
        for (int i = 0; i < count; ++i) {
            data_.append(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len);
            bytes += pieces[i].iov_len;
        }
        writes_.push_back({count, bytes});
        log_.push_back(name_);
        return static_cast<ssize_t>(bytes);
    }
    ssize_t Read(char* buffer, size_t size) override { return ::recv(socket_, buffer, size, MSG_DONTWAIT); }

    struct Call {
        int pieces;
        size_t bytes;
    };
    std::vector<Call> Writes() const {
        std::lock_guard<std::mutex> guard(lock_);
        return writes_;
    }
    std::string Data() const {
        std::lock_guard<std::mutex> guard(lock_);
        return data_;
    }

private:
    const ACE_HANDLE socket_;
    const std::string name_;
    std::vector<std::string>& log_;
    std::mutex& lock_;
    std::vector<Call> writes_;
    std::string data_;
};

class OutputPathTest : public ::testing::Test {
protected:
    OutputPathTest() : loop_(EPOLL_REACTOR) {}
    ~OutputPathTest() override {
        loop_.Stop();  // closes the handlers while the transports still live
        for (ACE_HANDLE fd : peers_) ACE_OS::closesocket(fd);
    }
    void SetUp() override { loop_.Start(); }

    // An open handler on a socket pair whose output goes to a recording transport.
    StreamHandler* Open(const std::string& name, StreamListener* listener) {
        ACE_HANDLE fds[2];
        EXPECT_EQ(0, ACE_OS::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        StreamHandler* handler = new StreamHandler(loop_.reactor());
        handler->peer().set_handle(fds[0]);
        handler->SetListener(listener);
        peers_.push_back(fds[1]);
        transports_.push_back(new RecordingTransport(fds[0], name, log_, lock_));
        RecordingTransport* transport = transports_.back();
        EXPECT_TRUE(loop_.RunOnLoop([&] {
            EXPECT_EQ(0, handler->open());
            handler->UseTransport(std::unique_ptr<StreamTransport>(transport));
        }));
        return handler;
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> guard(lock_);
        return log_;
    }

    RecordingStreamListener quiet_, commanding_;  // outlive the loop, which closes the handlers
    ReactorLoop loop_;
    std::vector<ACE_HANDLE> peers_;
    std::vector<RecordingTransport*> transports_;  // owned by their handlers
    std::mutex lock_;
    std::vector<std::string> log_;
};

// Lines queued together go out in as few writes as a write's bounds allow (WRITE_BATCH
// pieces, WRITE_BYTES bytes), whole and in order, however a pass is cut.
TEST_F(OutputPathTest, QueuedLinesGoOutInTheFewestWritesTheBoundsAllow) {
    const struct {
        int lines;
        size_t bytes;
        size_t writes;
    } cases[] = {
        {1, 100, 1},    {100, 100, 1}, {StreamHandler::WRITE_BATCH, 10, 1}, {StreamHandler::WRITE_BATCH + 1, 10, 2},
        {655, 100, 1},   // 65,500 bytes: one write
        {656, 100, 2},   // past WRITE_BYTES: the line is cut between two writes
        {3000, 100, 5},  // 300,000 bytes: past a pass's PASS_BYTES, the rest on the next pass
    };
    for (const auto& c : cases) {
        RecordingStreamListener listener;
        StreamHandler* handler = Open("x", &listener);
        RecordingTransport* transport = transports_.back();
        std::string expected;
        for (int i = 0; i < c.lines; ++i) expected += std::string(c.bytes - 1, static_cast<char>('a' + i % 26)) + "\n";
        ASSERT_TRUE(loop_.RunOnLoop([&] {
            for (int i = 0; i < c.lines; ++i) EXPECT_EQ(0, handler->Send(expected.data() + i * c.bytes, c.bytes));
        }));
        ASSERT_TRUE(WaitFor([&] { return transport->Data().size() == expected.size(); })) << c.lines;
        EXPECT_TRUE(transport->Data() == expected) << c.lines;
        const std::vector<RecordingTransport::Call> writes = transport->Writes();
        EXPECT_EQ(c.writes, writes.size()) << c.lines;
        for (const RecordingTransport::Call& write : writes) {
            EXPECT_LE(write.pieces, static_cast<int>(StreamHandler::WRITE_BATCH));
            EXPECT_LE(write.bytes, static_cast<size_t>(StreamHandler::WRITE_BYTES));
        }
        ASSERT_TRUE(WaitFor([&] { return handler->QueuedBytes() == 0; }));
        ASSERT_TRUE(loop_.RunOnLoop([&] { handler->close(); }));
    }
}

// A turn runs before the passes listed after it was asked for, and after those listed
// before: a command is answered ahead of bulk output, yet cannot outrun what the commands
// before it sent the others.
TEST_F(OutputPathTest, ATurnRunsBetweenThePassesListedBeforeAndAfterIt) {
    StreamHandler* before = Open("pass before", &quiet_);
    StreamHandler* turn = Open("turn", &commanding_);
    StreamHandler* after = Open("pass after", &quiet_);
    commanding_.onResume = [&](bool&) {
        std::lock_guard<std::mutex> guard(lock_);
        log_.push_back("turn");
    };
    ASSERT_TRUE(loop_.RunOnLoop([&] {
        EXPECT_EQ(0, before->Send("a\n", 2));
        commanding_.pending = true;
        turn->ContinueInput();  // asks for its turn
        EXPECT_EQ(0, after->Send("b\n", 2));
    }));
    ASSERT_TRUE(WaitFor([&] { return Log().size() == 3; }));
    EXPECT_EQ((std::vector<std::string>{"pass before", "turn", "pass after"}), Log());
}

// A source of numbered lines, made a few at a time.
class NumberedSource : public OutputSource {
public:
    explicit NumberedSource(int lines) : lines_(lines) {}
    bool Produce(size_t, ACE_Message_Block*& first, ACE_Message_Block*& last) override {
        for (int i = 0; i < 2 && made_ < lines_; ++i) {
            const std::string text = "made" + std::to_string(made_++) + "\n";
            ACE_Message_Block* block = new ACE_Message_Block(text.size());
            block->copy(text.data(), text.size());
            (last ? last->next(block) : void(first = block));
            last = block;
        }
        return made_ == lines_;
    }
    size_t Footprint() const override { return 10; }

private:
    const int lines_;
    int made_ = 0;
};

// Whatever part of the gathered bytes a write takes (none, a byte, a line and a half,
// across the chunks of entries and a source's marker), the rest follows in order and
// every entry is released once written.
TEST(OutputQueueTest, WritesOfAnySizeTakeTheLinesInOrder) {
    for (const size_t take : {size_t(0), size_t(1), size_t(5), size_t(9), size_t(64)}) {
        OutputQueue queue(nullptr);  // no loop runs: the caller is its thread
        std::string expected;
        for (int i = 0; i < 20; ++i) {
            const std::string text = "line" + std::to_string(i) + "\n";
            expected += text;
            if (i % 2 == 0) {
                SharedLine line(text);
                EXPECT_GE(queue.AppendShared(line), 0);
            } else {
                ACE_Message_Block* block = new ACE_Message_Block(text.size());
                block->copy(text.data(), text.size());
                EXPECT_GE(queue.Append(block), 0);
            }
            if (i == 9) {
                EXPECT_EQ(0, queue.AppendSource(std::unique_ptr<OutputSource>(new NumberedSource(5))));
                for (int k = 0; k < 5; ++k) expected += "made" + std::to_string(k) + "\n";
            }
        }
        EXPECT_EQ(10u, queue.SourceBytes());
        std::string out;
        for (int rounds = 0; !queue.Empty() && rounds < 1000; ++rounds) {
            iovec pieces[4];
            const int count = queue.Gather(pieces, 4, 16);
            size_t made = 0;
            if (count == 0) {
                ASSERT_TRUE(queue.Expand(64, made));
                continue;
            }
            size_t left = take == 0 ? 16 : take;  // 0: all it gathered
            for (int i = 0; i < count && left > 0; ++i) {
                const size_t part = std::min(left, pieces[i].iov_len);
                out.append(static_cast<const char*>(pieces[i].iov_base), part);
                left -= part;
            }
            queue.Consume((take == 0 ? 16 : take) - left);
        }
        EXPECT_EQ(expected, out) << take;
        EXPECT_EQ(0u, queue.Bytes());
        EXPECT_EQ(0u, queue.SourceBytes());
        EXPECT_EQ(0u, queue.Memory());
    }
}

// A line queued on a thousand connections is a thousand lines to write but a few texts
// in memory: what the bound on every connection's output counts.
TEST(OutputQueueTest, ALineSharedByManyCountsItsTextAFewTimesInMemory) {
    const long long before = OutputQueue::MemoryOfAll();
    const std::string text(100, 'x');
    std::vector<std::unique_ptr<OutputQueue>> queues;
    {
        SharedLine line(text);
        for (int i = 0; i < 1000; ++i) {
            queues.emplace_back(new OutputQueue(nullptr));
            ASSERT_GE(queues.back()->AppendShared(line), 0);
        }
    }
    const long long memory = OutputQueue::MemoryOfAll() - before;
    EXPECT_EQ(100u, queues[0]->Bytes());
    EXPECT_GE(memory, 1000 * 24 + 100);
    EXPECT_LE(memory, 1000 * 24 + 100 * 8);  // each pays the text over its holders: a harmonic sum
    queues.clear();
    EXPECT_EQ(before, OutputQueue::MemoryOfAll());
}

}  // namespace
