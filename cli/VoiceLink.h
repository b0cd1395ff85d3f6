// The client's UDP voice socket: the hello that binds the user to its voice address and
// the keep-alive that holds that address open. This client sends no audio; relayed
// audio that reaches it is read and dropped so the socket's buffer never fills.
#ifndef QUORVANE_CLI_VOICELINK_H
#define QUORVANE_CLI_VOICELINK_H

#include <string>

namespace quorvane {
namespace cli {

class VoiceLink {
public:
    // The voice packet protocol this client announces.
    static constexpr int CLIENT_PACKET_PROTOCOL = 3;

    VoiceLink() = default;
    ~VoiceLink();
    VoiceLink(const VoiceLink&) = delete;
    VoiceLink& operator=(const VoiceLink&) = delete;

    // To the host and port, from the numeric address from when given (see SocketFrom).
    bool Open(const std::string& host, int port, std::string& error, const std::string& from = std::string());
    // Sends hellos (again every half second) until the server acknowledges one.
    bool Hello(int userId, int timeoutMs);
    void SendKeepAlive(int userId);
    // Reads and drops whatever datagrams are waiting.
    void Drain();
    int Fd() const { return fd_; }

    // The 6 bytes of a client header packet (hello or keep-alive).
    static std::string HeaderBytes(int type, int userId);

private:
    int fd_ = -1;
};

}  // namespace cli
}  // namespace quorvane

#endif
