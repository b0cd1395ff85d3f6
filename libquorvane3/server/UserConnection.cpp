#include "server/UserConnection.h"

#include <memory>

#include "server/ServerUser.h"

namespace quorvane {
namespace server {

void UserConnection::OnStreamClosed() {
    const std::shared_ptr<ServerUser> self = user_.weak_from_this().lock();
    user_.ConnectionClosed();
}

void UserConnection::OnStreamData(const char* data, ssize_t length, bool& keepOpen) {
    if (length <= 0) return;
    const std::shared_ptr<ServerUser> self = user_.weak_from_this().lock();
    if (user_.transfer_.IsUploading()) user_.transfer_.Receive(data, static_cast<size_t>(length), keepOpen);
    else user_.reader_.OnData(data, static_cast<size_t>(length), keepOpen);
}

bool UserConnection::HasPendingInput() const { return user_.reader_.HasPendingInput(); }

bool UserConnection::IsInputHeld() const { return user_.reader_.IsHeld(); }

ACE_Time_Value UserConnection::PendingInputDelay() const {
    const int64_t micros = user_.reader_.ThrottleDelayMicroseconds();
    return ACE_Time_Value(static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000));
}

bool UserConnection::TakesStreamInput() const { return user_.transfer_.TakesSocket(); }

StreamListener::Input UserConnection::OnStreamReadable(int socket) {
    const std::shared_ptr<ServerUser> self = user_.weak_from_this().lock();
    return user_.transfer_.ReceiveFrom(socket);
}

void UserConnection::OnStreamResume(bool& keepOpen) {
    const std::shared_ptr<ServerUser> self = user_.weak_from_this().lock();
    user_.reader_.OnTurn(keepOpen);
}

// A download's pass reports its end to the node, whose listeners may let the user go.
void UserConnection::OnStreamReady() {
    const std::shared_ptr<ServerUser> self = user_.weak_from_this().lock();
    user_.transfer_.OnOutputDrained();
}

}  // namespace server
}  // namespace quorvane
