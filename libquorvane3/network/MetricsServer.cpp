#include "network/MetricsServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "network/ConnectionCap.h"

struct MetricsServer::Daemon {
    Daemon(const Render& renderer, const std::string& where, uint16_t listening)
        : render(renderer), address(where), port(listening), cap(MAX_CONNECTIONS) {}
    ~Daemon() {
        if (mhd) MHD_stop_daemon(mhd);  // joins its thread and closes the listening socket
    }
    const Render& render;
    const std::string address;
    const uint16_t port;
    ConnectionCap cap;  // the HTTP thread's alone while mhd runs
    MHD_Daemon* mhd = nullptr;
};

namespace {

const char* const CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// The listening socket of the address; -1 with errno set when it cannot be had.
int Listen(uint32_t host, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Past connections in TIME_WAIT, never beside another listener: Linux refuses the
    // bind while any socket listens on the address, SO_REUSEADDR or not.
    const int on = 1;
    sockaddr_in bind;
    std::memset(&bind, 0, sizeof bind);
    bind.sin_family = AF_INET;
    bind.sin_port = htons(port);
    bind.sin_addr.s_addr = htonl(host);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        ::bind(fd, reinterpret_cast<sockaddr*>(&bind), sizeof bind) == 0 && listen(fd, SOMAXCONN) == 0)
        return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

// The connection callbacks below run on the daemon's one HTTP thread.
void ConnectionChanged(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    ConnectionCap& cap = *static_cast<ConnectionCap*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        cap.Closed(connection);
        return;
    }
    MHD_Connection* const closed = static_cast<MHD_Connection*>(const_cast<void*>(cap.Opened(connection)));
    if (!closed) return;
    // The library then reads its end and closes it on this thread, in this pass.
    const MHD_ConnectionInfo* info = MHD_get_connection_info(closed, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) shutdown(info->connect_fd, SHUT_RDWR);
}

void RequestCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    static_cast<ConnectionCap*>(cls)->Idle(connection);
}

// Every request is answered at its first call: the body of a POST or PUT is never read.
MHD_Result HandleRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char*, size_t* uploadSize, void**) {
    MetricsServer::Daemon& daemon = *static_cast<MetricsServer::Daemon*>(cls);
    daemon.cap.Busy(connection);
    std::string body;
    const int status = MetricsServer::Answer(method ? method : "", url ? url : "", daemon.render, body);
    *uploadSize = 0;
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            status == MHD_HTTP_OK ? CONTENT_TYPE : "text/plain");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

MetricsServer::MetricsServer(Render render) : render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

int MetricsServer::Answer(const std::string& method, const std::string& path, const Render& render, std::string& body) {
    if (path != "/metrics") {
        body = "Not found: the metrics are at /metrics.\n";
        return MHD_HTTP_NOT_FOUND;
    }
    if (method != "GET" && method != "HEAD") {
        body = "Method not allowed.\n";
        return MHD_HTTP_METHOD_NOT_ALLOWED;
    }
    body = render();
    return MHD_HTTP_OK;
}

bool MetricsServer::ParseAddress(const std::string& text, uint32_t& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 6) return false;
    in_addr parsed;
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &parsed) != 1) return false;
    unsigned long number = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + static_cast<unsigned>(text[i] - '0');
    }
    // Port 0 would listen wherever the system chooses, where no scraper looks.
    if (number == 0 || number > 65535) return false;
    host = ntohl(parsed.s_addr);
    port = static_cast<uint16_t>(number);
    return true;
}

bool MetricsServer::Start(const std::string& address, std::string& error) {
    uint32_t host = 0;
    uint16_t port = 0;
    if (!ParseAddress(address, host, port)) {
        error = "\"" + address + "\" is no address of the form 127.0.0.1:10302";
        return false;
    }
    std::unique_ptr<Daemon> next = Serve(address, host, port, error);
    if (!next && daemon_ && daemon_->port == port) {
        // Another host on our own port clashes with our listener: it goes first, and comes
        // back when the new address cannot be had either.
        const std::string old = daemon_->address;
        Stop();
        next = Serve(address, host, port, error);
        std::string ignored;
        if (!next && !Start(old, ignored)) error += " (and " + old + " could not be taken back)";
    }
    if (!next) return false;
    daemon_ = std::move(next);  // the old daemon, if any, stops here
    return true;
}

std::unique_ptr<MetricsServer::Daemon> MetricsServer::Serve(const std::string& address, uint32_t host, uint16_t port,
                                                            std::string& error) {
    const int listener = Listen(host, port);
    if (listener < 0) {
        error = "cannot listen on " + address + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Daemon> daemon(new Daemon(render_, address, port));
    errno = 0;
    daemon->mhd = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, &HandleRequest, daemon.get(),
        MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_NOTIFY_CONNECTION, &ConnectionChanged, &daemon->cap,
        MHD_OPTION_NOTIFY_COMPLETED, &RequestCompleted, &daemon->cap,
        // One over the cap: the newcomer is taken, and the cap closes one for it.
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(MAX_CONNECTIONS + 1), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(MAX_CONNECTIONS_PER_ADDRESS), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(IDLE_SECONDS), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(MEMORY_PER_CONNECTION), MHD_OPTION_END);
    if (daemon->mhd) return daemon;
    close(listener);
    error = "cannot serve on " + address + (errno ? std::string(": ") + std::strerror(errno) : std::string());
    return nullptr;
}

void MetricsServer::Stop() { daemon_.reset(); }

int MetricsServer::GetPort() const { return daemon_ ? daemon_->port : 0; }
