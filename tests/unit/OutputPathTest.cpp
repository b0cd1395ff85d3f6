// The output path through its transport seam: how many writes a pass takes, and in which
// order the scheduler serves turns and passes. The transports here take every byte and
// record each write, so the counts are exact.
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ace/OS_NS_sys_socket.h>

#include "ReactorLoop.h"
#include "RecordingStreamListener.h"
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

}  // namespace
