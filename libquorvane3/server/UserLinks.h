// What every user of a server reaches besides itself: the node builds one and hands it to
// each ServerUser it admits (tests give fakes). References only; the user holds a pointer
// to it until the node lets it go (ServerUser::Detach).
#ifndef QUORVANE_SERVER_USERLINKS_H
#define QUORVANE_SERVER_USERLINKS_H

class ACE_Reactor;

namespace quorvane {
namespace server {

class CommandRate;
class CommandRunner;
class DepartureFeed;
class OutputPolicy;
class ServerStatistics;
class TransferDesk;
class UserEvents;

struct UserLinks {
    ACE_Reactor* loop;  // the main loop the user's state is confined to
    ServerStatistics& statistics;
    const CommandRate& commandRate;
    CommandRunner& commands;
    UserEvents& events;
    DepartureFeed& departures;
    OutputPolicy& output;
    TransferDesk& transfers;
};

}  // namespace server
}  // namespace quorvane

#endif
