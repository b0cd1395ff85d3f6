// A user's side of its TCP connection: what the connection reports goes to the user's
// CommandReader (command lines) or TransferSession (file data), and the close to the
// node's UserDisconnected.
//
// Threads: the main loop's thread (the connection's callbacks).
// Lifetime: a member of its ServerUser. Each callback holds a strong reference to the
// user while it runs, so a command that ends its own connection, or the node dropping
// the user during its disconnection, cannot free the user under the callback.
#ifndef QUORVANE_SERVER_USERCONNECTION_H
#define QUORVANE_SERVER_USERCONNECTION_H

#include "network/StreamListener.h"

namespace quorvane {
namespace server {

class ServerUser;

class UserConnection : public StreamListener {
public:
    explicit UserConnection(ServerUser& user) : user_(user) {}

    void OnStreamOpened() override {}
    void OnStreamClosed() override;
    void OnStreamData(const char* data, ssize_t length, bool& keepOpen) override;
    bool HasPendingInput() const override;
    ACE_Time_Value PendingInputDelay() const override;
    bool IsInputHeld() const override;
    // An upload takes its data straight from the socket.
    bool TakesStreamInput() const override;
    Input OnStreamReadable(int socket) override;
    void OnStreamResume(bool& keepOpen) override;
    void OnStreamReady() override;

private:
    ServerUser& user_;
};

}  // namespace server
}  // namespace quorvane

#endif
