// How a user tells the server that its connection ended or fell behind; UserSessions
// implements it, and every ServerUser calls it.
//
// Threads: the main loop's thread.
#ifndef QUORVANE_SERVER_USEREVENTS_H
#define QUORVANE_SERVER_USEREVENTS_H

namespace quorvane {
namespace server {

class UserEvents {
public:
    virtual ~UserEvents() = default;
    // The connection closed: the user leaves its channel and its transfers and is forgotten.
    virtual void UserDisconnected(int userId) = 0;
    // The user's output was full: its connection closes on a later turn.
    virtual void UserLagging(int userId) = 0;
};

}  // namespace server
}  // namespace quorvane

#endif
