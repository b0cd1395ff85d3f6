#include "LineClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "BenchNet.h"
#include "VoiceWire.h"

bool LineClient::Connect(int port) {
    Close();
    fd_ = ConnectTcp(port);
    return fd_ >= 0;
}

void LineClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool LineClient::Send(const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = send(fd_, p, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool LineClient::SendLine(const std::string& line) {
    const std::string text = line + "\r\n";
    return Send(text.data(), text.size());
}

bool LineClient::Fill(double deadline) {
    const int left = int((deadline - Now()) * 1000) + 1;
    pollfd p = {fd_, POLLIN, 0};
    if (fd_ < 0 || left <= 0 || poll(&p, 1, left) != 1) return false;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buffer_.append(chunk, size_t(n));
    return true;
}

bool LineClient::ReadLine(std::string& line, double timeoutSeconds) {
    const double deadline = Now() + timeoutSeconds;
    for (;;) {
        const size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            line = buffer_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buffer_.erase(0, lf + 1);
            return true;
        }
        if (!Fill(deadline)) return false;
    }
}

static bool IsWord(const std::string& line, const std::string& word) {
    return line.compare(0, word.size(), word) == 0 && (line.size() == word.size() || line[word.size()] == ' ');
}

bool LineClient::Expect(const std::string& word, double timeoutSeconds, std::string* found) {
    const double deadline = Now() + timeoutSeconds;
    std::string line;
    refusal_.clear();
    while (ReadLine(line, deadline - Now())) {
        if (IsWord(line, word)) {
            if (found) *found = line;
            return true;
        }
        if (IsWord(line, "error") || IsWord(line, "filerejected")) {
            refusal_ = line;
            return false;
        }
    }
    return false;
}

long long LineParam(const std::string& line, const std::string& name, long long fallback) {
    const size_t at = line.find(" " + name + "=");
    if (at == std::string::npos) return fallback;
    return std::atoll(line.c_str() + at + name.size() + 2);
}

std::string LoginLine(const std::string& nickname) {
    return "login protocol=\"3.4\" nickname=\"" + nickname +
           "\" serverpassword=\"\" bandmode=0 framesize=320 encodedframesize=40 fpp=1 version=\"bench\"";
}

int LogIn(LineClient& client, int udpPort, const std::string& nickname, int& udp, double timeoutSeconds) {
    udp = -1;
    std::string welcome;
    if (!client.Expect("welcome", timeoutSeconds, &welcome)) return -1;
    const int id = int(LineParam(welcome, "userid", 0));
    udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int size = 1 << 20;
    setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in server = Loopback(udpPort);
    if (id <= 0 || udp < 0 || connect(udp, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) return -1;
    uint8_t hello[6];
    MakeHello(hello, unsigned(id));
    // A datagram can be lost: the hello is repeated until answered.
    bool acknowledged = false;
    for (int attempt = 0; attempt < 10 && !acknowledged; ++attempt) {
        send(udp, hello, sizeof(hello), 0);
        pollfd p = {udp, POLLIN, 0};
        uint8_t ack[64];
        acknowledged = poll(&p, 1, 500) == 1 && recv(udp, ack, sizeof(ack), 0) >= 1 && ack[0] == kAck;
    }
    if (!acknowledged || !client.SendLine(LoginLine(nickname)) || !client.Expect("done", timeoutSeconds)) return -1;
    return id;
}

bool Join(LineClient& client, const std::string& channel, double timeoutSeconds) {
    return client.SendLine("join channel=\"" + channel + "\"") && client.Expect("done", timeoutSeconds);
}

bool AdminLogIn(LineClient& client, const std::string& user, const std::string& password, double timeoutSeconds) {
    return client.Expect("welcome", timeoutSeconds) &&
           client.SendLine("admin username=\"" + user + "\" password=\"" + password + "\"") &&
           client.Expect("done", timeoutSeconds);
}
