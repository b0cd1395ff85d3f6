// A small HTTP server for the metrics an operator scrapes: GET /metrics answers whatever
// the render function gives, everything else a short error. It runs on a thread of its
// own (the HTTP library's), bounds its connections, their memory and their idle time,
// so a slow or huge request holds no thread and costs the server nothing else; it knows
// nothing of the server it describes.
//
// The listening socket is its own: SO_REUSEADDR only (a restart binds past connections
// in TIME_WAIT), never SO_REUSEPORT, so a second server cannot bind an address this one
// listens on. At the connection cap the connection idle longest is closed for a newcomer
// (ConnectionCap), so idle connections cannot crowd out a scrape.
//
// Threads: Start and Stop on the owner's thread; the render function is called on the
// HTTP thread and must only read what any thread may read (atomics).
#ifndef QUORVANE_NETWORK_METRICSSERVER_H
#define QUORVANE_NETWORK_METRICSSERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class MetricsServer {
public:
    typedef std::function<std::string()> Render;
    enum {
        MAX_CONNECTIONS = 16,
        MAX_CONNECTIONS_PER_ADDRESS = 4,
        IDLE_SECONDS = 5,
        MEMORY_PER_CONNECTION = 16384,  // a request's headers must fit
    };

    explicit MetricsServer(Render render);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // "HOST:PORT" with a dotted IPv4 host and a port from 1 to 65535; false when the text
    // is no such address.
    static bool ParseAddress(const std::string& text, uint32_t& host, uint16_t& port);
    // Serves on the address, and then no longer on the old one. False, with the reason,
    // when it cannot (the address is in use, say): the old listener, if any, goes on
    // serving.
    bool Start(const std::string& address, std::string& error);
    void Stop();
    bool IsRunning() const { return daemon_ != nullptr; }
    // The port it listens on; 0 when not running.
    int GetPort() const;

    // The answer to one request: status and body.
    static int Answer(const std::string& method, const std::string& path, const Render& render, std::string& body);

    // One listener: the library's daemon and what its callbacks reach (in the source).
    struct Daemon;

private:
    // Serves on the address with a new daemon, the old one still running; null with the
    // reason when the address cannot be had.
    std::unique_ptr<Daemon> Serve(const std::string& address, uint32_t host, uint16_t port, std::string& error);

    Render render_;
    std::unique_ptr<Daemon> daemon_;
};

#endif
