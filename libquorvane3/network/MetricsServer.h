// A small HTTP server for the metrics an operator scrapes: GET /metrics answers whatever
// the render function gives, everything else a short error. It runs on a thread of its
// own (the HTTP library's), bounds its connections, their memory and their idle time,
// so a slow or huge request holds no thread and costs the server nothing else; it knows
// nothing of the server it describes.
//
// Threads: Start and Stop on the owner's thread; the render function is called on the
// HTTP thread and must only read what any thread may read (atomics).
#ifndef QUORVANE_NETWORK_METRICSSERVER_H
#define QUORVANE_NETWORK_METRICSSERVER_H

#include <cstdint>
#include <functional>
#include <string>

struct MHD_Daemon;

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

    // "HOST:PORT" with a dotted IPv4 host (port 0 lets the system choose); false when the
    // text is no such address.
    static bool ParseAddress(const std::string& text, uint32_t& host, uint16_t& port);
    // Serves on the address; false, with the reason, when it cannot (the old one, if any,
    // is stopped either way).
    bool Start(const std::string& address, std::string& error);
    void Stop();
    bool IsRunning() const { return daemon_ != nullptr; }
    // The port it listens on (useful when started on port 0); 0 when not running.
    int GetPort() const;

    // The answer to one request: status and body.
    static int Answer(const std::string& method, const std::string& path, const Render& render, std::string& body);

private:
    Render render_;
    MHD_Daemon* daemon_ = nullptr;
};

#endif
