// A blocking command connection to the server: lines out, lines in, every wait bounded.
// The file transfer client and the soak's talkers, churners and administrator use it.
#ifndef QUORVANE_BENCH_LINECLIENT_H
#define QUORVANE_BENCH_LINECLIENT_H

#include <string>

class LineClient {
public:
    LineClient() = default;
    ~LineClient() { Close(); }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Connect(int port);
    void Close();
    int Fd() const { return fd_; }
    bool Open() const { return fd_ >= 0; }

    // All of the bytes, or false.
    bool Send(const void* data, size_t length);
    bool SendLine(const std::string& line);  // adds CR LF

    // The next line, without its CR LF; false on time-out or when the connection closed.
    bool ReadLine(std::string& line, double timeoutSeconds);
    // Reads lines until one whose command word is `word` (it goes to *found), skipping
    // others; false on time-out, close, or an "error" or "filerejected" line, which
    // Refusal() then holds.
    bool Expect(const std::string& word, double timeoutSeconds, std::string* found = nullptr);
    const std::string& Refusal() const { return refusal_; }

    // Bytes read past the last line taken: file data that came with "fileready".
    std::string& Buffered() { return buffer_; }

private:
    bool Fill(double deadline);

    int fd_ = -1;
    std::string buffer_;
    std::string refusal_;
};

// The integer value of name= in a line; `fallback` when absent.
long long LineParam(const std::string& line, const std::string& name, long long fallback = -1);

// The login line every benchmark client sends.
std::string LoginLine(const std::string& nickname);

// Logs a user in as a client does: "welcome", the UDP hello until answered, "login".
// Answers the user id, or -1. The UDP socket, connected to the voice port with a 1 MiB
// receive buffer, is left in `udp` (the caller closes it); -1 when none was made.
int LogIn(LineClient& client, int udpPort, const std::string& nickname, int& udp, double timeoutSeconds = 10);

// Joins a channel and waits for its "done".
bool Join(LineClient& client, const std::string& channel, double timeoutSeconds = 10);

// Logs in as the administrator (no voice): "welcome", "admin", "done".
bool AdminLogIn(LineClient& client, const std::string& user, const std::string& password, double timeoutSeconds = 10);

#endif
