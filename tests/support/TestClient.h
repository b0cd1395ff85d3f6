// Loopback clients for tests: a TCP line client and a UDP voice client. Every read has
// a deadline; nothing here sleeps a fixed time.
#ifndef QUORVANE_TESTS_TESTCLIENT_H
#define QUORVANE_TESTS_TESTCLIENT_H

#include <string>
#include <vector>

namespace testing_support {

// A port that was free a moment ago (SOCK_STREAM or SOCK_DGRAM on 127.0.0.1).
int FreePort(int socketType);

// Polls the condition until it holds or the deadline passes; answers the last result.
template <class COND>
bool WaitFor(COND condition, int timeoutMs = 5000);

class LineClient {
public:
    LineClient() = default;
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    // From sourceAddress when given (another loopback address such as 127.0.0.2), with
    // a receive buffer of receiveBuffer bytes when not 0. An IPv6 source connects to
    // [::1]:port, any other to 127.0.0.1:port.
    bool Connect(int port, int timeoutMs = 5000, const std::string& sourceAddress = std::string(),
                 int receiveBuffer = 0);
    bool Send(const std::string& bytes);
    // The next complete line without its CR LF; false when none came in time.
    bool ReadLine(std::string& line, int timeoutMs = 5000);
    // Reads lines until one starts with the prefix (followed by a space or the end);
    // the skipped lines are appended to skipped when given. Empty string on timeout.
    std::string Expect(const std::string& command, int timeoutMs = 5000, std::vector<std::string>* skipped = 0);
    // Exactly count raw bytes (after any buffered ones); false when they did not come.
    bool ReadBytes(size_t count, std::string& bytes, int timeoutMs = 5000);
    // Up to max raw bytes, at least one; false on time-out or close.
    bool ReadSome(size_t max, std::string& bytes, int timeoutMs = 5000);
    // True when the server closed the connection within the time (pending lines dropped).
    bool WaitClosed(int timeoutMs = 5000);
    // No line arrives within the time.
    bool Quiet(int timeoutMs);
    void Close();
    int Fd() const { return fd_; }

private:
    bool Fill(int timeoutMs);

    int fd_ = -1;
    std::string buffer_;
    bool eof_ = false;
};

class VoiceClient {
public:
    // Bound to a free port of the source address (another loopback address plays a
    // foreign host). Given a server address, the datagrams go there and only datagrams
    // from there are received, as a client connected to that address would. An IPv6
    // source sends to ::1 unless told otherwise.
    explicit VoiceClient(const std::string& sourceAddress = "127.0.0.1", const std::string& serverAddress = "");
    ~VoiceClient();
    VoiceClient(const VoiceClient&) = delete;
    VoiceClient& operator=(const VoiceClient&) = delete;

    bool SendTo(int port, const std::string& bytes);
    bool Receive(std::string& bytes, int timeoutMs = 5000);
    int LocalPort() const;

private:
    int fd_;
    std::string server_;
    bool v6_;
};

// Packet bytes.
std::string HelloPacketBytes(int userId, int protocol = 3);
// A 6-byte voice packet header as clients send it (a keep-alive is type 3).
std::string HeaderPacketBytes(int type, int userId);
std::string AudioPacketBytes(int type, int userId, int destUserId, int length, int datagramLength = -1);

// The value of a name=value parameter in a received line (quoted values unescaped).
std::string Param(const std::string& line, const std::string& name);
int IntParam(const std::string& line, const std::string& name);

}  // namespace testing_support

#include "TestClient.inl"

#endif
