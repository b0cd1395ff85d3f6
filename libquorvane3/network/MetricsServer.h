// A small HTTP server for the metrics an operator scrapes: GET /metrics answers whatever
// the render function gives; GET /health, when a health function is given, 200 or 503 as
// it says, with its one line; everything else a short error. It runs on a thread of its
// own (the HTTP library's), bounds its connections, their memory and their idle time,
// so a slow or huge request holds no thread and costs the server nothing else; it knows
// nothing of the server it describes.
//
// The listening socket is its own: SO_REUSEADDR only (a restart binds past connections
// in TIME_WAIT), never SO_REUSEPORT, so a second server cannot bind an address this one
// listens on. At the connection cap the connection idle longest is closed for a newcomer
// (ConnectionCap), so idle connections cannot crowd out a scrape.
//
// The address is an IPv4 address, an IPv6 one in brackets or a host name, with a port. A
// name is looked up when the metrics start or move (NameLookup, with a deadline); it
// serves on every address the name has, each with a listener and a daemon of its own.
//
// Threads: Start and Stop on the owner's thread; the render and health functions are
// called on the HTTP thread and must only read what any thread may read (atomics).
#ifndef QUORVANE_NETWORK_METRICSSERVER_H
#define QUORVANE_NETWORK_METRICSSERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "network/SocketAddress.h"

class MetricsServer {
public:
    typedef std::function<std::string()> Render;
    // Whether the server is healthy, with a line that says how it is.
    typedef std::function<bool(std::string& line)> Health;
    enum {
        MAX_CONNECTIONS = 16,
        MAX_CONNECTIONS_PER_ADDRESS = 4,
        IDLE_SECONDS = 5,
        MEMORY_PER_CONNECTION = 16384,  // a request's headers must fit
    };

    explicit MetricsServer(Render render, Health health = Health());
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // "HOST:PORT" with a port from 1 to 65535 and a dotted IPv4 host, an IPv6 host in
    // brackets ("[::1]:10302") or a host name; false when the text is no such address.
    // Nothing is looked up.
    static bool ParseAddress(const std::string& text, std::string& host, uint16_t& port);
    // Serves on the address (every address of a name), and then no longer on the old
    // one. False, with the reason, when it cannot (the address is in use, the name has no
    // address, say): the old listeners, if any, go on serving.
    bool Start(const std::string& address, std::string& error);
    void Stop();
    bool IsRunning() const { return !daemons_.empty(); }
    // The port it listens on; 0 when not running.
    int GetPort() const;

    // The answer to one request: status and body.
    static int Answer(const std::string& method, const std::string& path, const Render& render, const Health& health,
                      std::string& body);

    // One listener: the library's daemon and what its callbacks reach (in the source).
    struct Daemon;

private:
    typedef std::vector<std::unique_ptr<Daemon>> Daemons;

    // Serves on each address with new daemons, the old ones still running; false with the
    // reason (the setting's text, and the address that failed when it differs) when one
    // cannot be had.
    bool ServeAll(const std::string& text, const std::vector<SocketAddress>& addresses, Daemons& next,
                  std::string& error);
    std::unique_ptr<Daemon> Serve(const SocketAddress& address, std::string& error);

    Render render_;
    Health health_;
    std::string address_;  // the setting's text the daemons serve
    Daemons daemons_;
};

#endif
