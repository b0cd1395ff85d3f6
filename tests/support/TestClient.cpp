#include "TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "protocol/CommandLine.h"

namespace testing_support {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// An IPv4 or IPv6 socket address of the text (IPv6 has a colon); IPv6 texts take the
// family's loopback address when empty.
struct Where {
    sockaddr_storage storage;
    socklen_t length;
    int family;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

Where At(const std::string& address, int port, bool v6) {
    Where where;
    std::memset(&where, 0, sizeof(where));
    where.family = v6 ? AF_INET6 : AF_INET;
    if (v6) {
        sockaddr_in6& in6 = reinterpret_cast<sockaddr_in6&>(where.storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET6, address.empty() ? "::1" : address.c_str(), &in6.sin6_addr);
        where.length = sizeof(in6);
    } else {
        sockaddr_in& in = reinterpret_cast<sockaddr_in&>(where.storage);
        in = Loopback(port);
        if (!address.empty()) ::inet_pton(AF_INET, address.c_str(), &in.sin_addr);
        where.length = sizeof(in);
    }
    return where;
}

bool IsV6(const std::string& address) { return address.find(':') != std::string::npos; }

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

int FreePort(int socketType) {
    const int fd = ::socket(AF_INET, socketType, 0);
    if (fd < 0) return 0;
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

LineClient::~LineClient() { Close(); }

void LineClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool LineClient::Connect(int port, int timeoutMs, const std::string& sourceAddress, int receiveBuffer) {
    Close();
    buffer_.clear();
    eof_ = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool v6 = IsV6(sourceAddress);
    do {
        fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        if (!sourceAddress.empty()) {
            Where source = At(sourceAddress, 0, v6);
            if (::bind(fd_, source.get(), source.length) != 0) {
                Close();
                return false;
            }
        }
        Where address = At("", port, v6);
        if (::connect(fd_, address.get(), address.length) == 0) return true;
        Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool LineClient::Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool LineClient::Fill(int timeoutMs) {
    if (fd_ < 0 || eof_) return false;
    pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
}

bool LineClient::ReadLine(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            line = buffer_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buffer_.erase(0, lf + 1);
            return true;
        }
        if (!Fill(RemainingMs(deadline))) return false;
    }
}

std::string LineClient::Expect(const std::string& command, int timeoutMs, std::vector<std::string>* skipped) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (ReadLine(line, RemainingMs(deadline))) {
        if (line.compare(0, command.size(), command) == 0 &&
            (line.size() == command.size() || line[command.size()] == ' '))
            return line;
        if (skipped) skipped->push_back(line);
    }
    return std::string();
}

bool LineClient::ReadBytes(size_t count, std::string& bytes, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffer_.size() < count)
        if (!Fill(RemainingMs(deadline))) return false;
    bytes = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return true;
}

bool LineClient::ReadSome(size_t max, std::string& bytes, int timeoutMs) {
    if (buffer_.empty() && !Fill(timeoutMs)) return false;
    bytes = buffer_.substr(0, max);
    buffer_.erase(0, bytes.size());
    return true;
}

bool LineClient::WaitClosed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_) {
        buffer_.clear();
        if (!Fill(RemainingMs(deadline)) && !eof_) return false;
    }
    return true;
}

bool LineClient::Quiet(int timeoutMs) {
    std::string line;
    return !ReadLine(line, timeoutMs);
}

VoiceClient::VoiceClient(const std::string& sourceAddress, const std::string& serverAddress)
    : fd_(::socket(IsV6(sourceAddress) ? AF_INET6 : AF_INET, SOCK_DGRAM, 0)),
      server_(serverAddress),
      v6_(IsV6(sourceAddress)) {
    Where address = At(sourceAddress, 0, v6_);
    ::bind(fd_, address.get(), address.length);
}

VoiceClient::~VoiceClient() { ::close(fd_); }

bool VoiceClient::SendTo(int port, const std::string& bytes) {
    Where address = At(server_, port, v6_);
    // Connected, the socket drops datagrams from any other address.
    if (!server_.empty() && ::connect(fd_, address.get(), address.length) != 0) return false;
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, address.get(), address.length) ==
           static_cast<ssize_t>(bytes.size());
}

bool VoiceClient::Receive(std::string& bytes, int timeoutMs) {
    pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[2048];
    const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0) return false;
    bytes.assign(buffer, static_cast<size_t>(n));
    return true;
}

int VoiceClient::LocalPort() const {
    sockaddr_in6 address;  // the port is at the same place in both families
    socklen_t size = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin6_port);
}

std::string HelloPacketBytes(int userId, int protocol) {
    const char bytes[6] = {1, static_cast<char>(protocol),      6,
                           0, static_cast<char>(userId & 0xff), static_cast<char>(userId >> 8)};
    return std::string(bytes, 6);
}

std::string HeaderPacketBytes(int type, int userId) {
    const char bytes[6] = {
        static_cast<char>(type), 3, 6, 0, static_cast<char>(userId & 0xff), static_cast<char>((userId >> 8) & 0xff)};
    return std::string(bytes, 6);
}

std::string AudioPacketBytes(int type, int userId, int destUserId, int length, int datagramLength) {
    if (datagramLength < 0) datagramLength = length;
    std::string bytes(static_cast<size_t>(datagramLength), '\0');
    const int header[8] = {type,          3,           length & 0xff,     length >> 8,
                           userId & 0xff, userId >> 8, destUserId & 0xff, destUserId >> 8};
    for (int i = 0; i < 8 && i < datagramLength; ++i) bytes[i] = static_cast<char>(header[i]);
    for (int i = 8; i < datagramLength; ++i) bytes[i] = static_cast<char>(i * 7 + 1);
    return bytes;
}

std::string Param(const std::string& line, const std::string& name) {
    std::string value;
    quorvane::GetStringParam(line, name, value);
    return value;
}

int IntParam(const std::string& line, const std::string& name) {
    int value = -1;
    quorvane::GetIntParam(line, name, value);
    return value;
}

}  // namespace testing_support
