// The server's figures in the text format that Prometheus scrapes: one family per
// figure, named quorvane_<thing>_<unit>, with its help and type.
//
// Threads: any; it reads only what any thread may read (ServerStatistics, the users
// counted, the connections' queued bytes, the process's files in /proc).
#ifndef QUORVANE_SERVER_METRICSTEXT_H
#define QUORVANE_SERVER_METRICSTEXT_H

#include <cstdint>
#include <string>

namespace quorvane {
namespace server {

class ServerStatistics;
class VoiceRelay;

class MetricsText {
public:
    // started: whether the server runs; failedSaves: the writes of the three files that
    // failed (they are written apart from the server).
    static std::string Render(const ServerStatistics& statistics, const VoiceRelay& voice, bool started,
                              uint64_t failedSaves);
};

}  // namespace server
}  // namespace quorvane

#endif
