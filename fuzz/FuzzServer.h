// A server node that is never started, and real loopback connections into it, for the
// fuzz targets: each connection goes through the node's own acceptance and its lines are
// written by its real stream handler. The loop is pumped on the fuzzing thread, which is
// thereby the loop's thread.
#ifndef QUORVANE_FUZZ_FUZZSERVER_H
#define QUORVANE_FUZZ_FUZZSERVER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>

#include "network/ReactorThread.h"
#include "network/StreamHandler.h"
#include "server/ServerNode.h"

namespace fuzzing {

class FuzzServer {
public:
    FuzzServer() : reactor_(new ACE_Select_Reactor, true), node_(&reactor_, &reactor_, 0, false) {
        ReactorThread::Register(&reactor_);
        // Limits that remember earlier inputs would make a run depend on its history.
        node_.Limits().SetMaxConnectionsPerAddress(0);
        node_.Limits().SetPasswordLockout(0);
        node_.Limits().SetLoginTimeout(0);  // the node is never started: no timer would expire them
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        socklen_t size = sizeof(address);
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            std::abort();
        port_ = ntohs(address.sin_port);
    }

    quorvane::server::ServerNode& Node() { return node_; }

    // A new connection handed to the node; its user's id (0 when refused). The client
    // end stays open until Disconnect.
    int Connect(int& client) {
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(port_);
        if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) std::abort();
        ::fcntl(client, F_SETFL, O_NONBLOCK);
        const int server = ::accept4(listener_, 0, 0, SOCK_CLOEXEC);
        if (server < 0) std::abort();
        StreamHandler* handler = new StreamHandler(&reactor_);
        handler->set_handle(server);
        if (handler->open() != 0) std::abort();
        node_.OnNewConnection(handler);
        Pump(client);
        const size_t at = received_.find("userid=");
        return at == std::string::npos ? 0 : std::atoi(received_.c_str() + at + 7);
    }

    // Runs what the loop has pending and reads what the client end received.
    void Pump(int client) {
        received_.clear();
        ACE_Time_Value zero;
        for (int i = 0; i < 8; ++i) {
            zero = ACE_Time_Value::zero;
            const int handled = reactor_.handle_events(zero);
            char buffer[65536];
            ssize_t n;
            while ((n = ::recv(client, buffer, sizeof(buffer), 0)) > 0)
                received_.append(buffer, static_cast<size_t>(n));
            if (handled <= 0) break;
        }
    }

    // Feeds bytes to the user as one read from its connection, and gives it the turns
    // that follow; false once it closed.
    bool Feed(int userId, const char* data, size_t size) {
        const quorvane::server::serveruser_t user = node_.Users().GetUser(userId);
        if (!user || size == 0) return static_cast<bool>(user);
        bool keepOpen = true;
        user->Connection().OnStreamData(data, static_cast<ssize_t>(size), keepOpen);
        // The turns the loop would give the commands that wait after the read.
        while (keepOpen && user->Connection().HasPendingInput()) user->Connection().OnStreamResume(keepOpen);
        if (!keepOpen) user->Disconnect();
        return keepOpen;
    }

    // The user's UDP hello from the address.
    void Hello(int userId, const ACE_INET_Addr& from) {
        char hello[6] = {1, 3, 6, 0, static_cast<char>(userId & 0xff), static_cast<char>(userId >> 8)};
        node_.Voice().OnPacketReceived(hello, sizeof(hello), from);
    }

    // Hello, login and a join of the channel, as a well-behaved client starts.
    void HelloLoginJoin(int userId, const ACE_INET_Addr& from, const std::string& channel) {
        Hello(userId, from);
        const std::string lines =
            "login protocol=\"3.4\" nickname=\"fuzz\" serverpassword=\"\" bandmode=0 framesize=320 "
            "encodedframesize=20 fpp=2 version=\"3.3.1\"\r\njoin channel=\"" +
            channel + "\"\r\n";
        Feed(userId, lines.data(), lines.size());
    }

    void Disconnect(int userId, int client) {
        const quorvane::server::serveruser_t user = node_.Users().GetUser(userId);
        if (user) user->Disconnect();
        Pump(client);
        ::close(client);
    }

    const std::string& Received() const { return received_; }

private:
    static sockaddr_in Loopback(int port) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    ACE_Reactor reactor_;
    quorvane::server::ServerNode node_;
    int listener_ = -1;
    int port_ = 0;
    std::string received_;
};

}  // namespace fuzzing

#endif
