#include "network/MetricsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "network/BindAddress.h"
#include "network/ConnectionCap.h"
#include "network/NameLookup.h"

struct MetricsServer::Daemon {
    Daemon(const Render& renderer, const Health& checker, uint16_t listening)
        : render(renderer), health(checker), port(listening), cap(MAX_CONNECTIONS) {}
    ~Daemon() {
        if (mhd) MHD_stop_daemon(mhd);  // joins its thread and closes the listening socket
    }
    const Render& render;
    const Health& health;
    const uint16_t port;
    ConnectionCap cap;  // the HTTP thread's alone while mhd runs
    MHD_Daemon* mhd = nullptr;
};

namespace {

const char* const CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

uint16_t PortOf(const SocketAddress& address) {
    return ntohs(address.any.sa_family == AF_INET6 ? address.v6.sin6_port : address.v4.sin_port);
}

// The listening socket of the address; -1 with errno set when it cannot be had. Past
// connections in TIME_WAIT, never beside another listener: Linux refuses the bind while
// any socket listens on the address, SO_REUSEADDR or not. An IPv6 address is that
// address only ("[::]" every IPv6 address, not IPv4's too).
int Listen(const SocketAddress& address) {
    const int fd = BindAddress::One(address).Bind(SOCK_STREAM, PortOf(address));
    if (fd < 0) return -1;
    if (listen(fd, SOMAXCONN) == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK) == 0) return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

// Labels of letters, digits and hyphens (not first or last), up to 63 each, 253 in all.
bool IsHostName(const std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    size_t label = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        const char c = i < name.size() ? name[i] : '.';
        if (c == '.') {
            if (label == 0 || label > 63 || name[i - 1] == '-') return false;
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || (c == '-' && label > 0)) {
            ++label;
        } else {
            return false;
        }
    }
    return true;
}

std::string TextOf(const SocketAddress& address) {
    IpAddress ip;
    IpAddress::FromSockaddr(&address.any, address.length, ip);
    const std::string host = ip.IsV4() ? ip.Text() : "[" + ip.Text() + "]";
    return host + ":" + std::to_string(PortOf(address));
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
    const int status = MetricsServer::Answer(method ? method : "", url ? url : "", daemon.render, daemon.health, body);
    *uploadSize = 0;
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(
        response, MHD_HTTP_HEADER_CONTENT_TYPE,
        status == MHD_HTTP_OK && url != nullptr && std::strcmp(url, "/metrics") == 0 ? CONTENT_TYPE : "text/plain");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

MetricsServer::MetricsServer(Render render, Health health) : render_(std::move(render)), health_(std::move(health)) {}

MetricsServer::~MetricsServer() { Stop(); }

int MetricsServer::Answer(const std::string& method, const std::string& path, const Render& render,
                          const Health& health, std::string& body) {
    const bool healthPath = path == "/health" && health;
    if (path != "/metrics" && !healthPath) {
        body = "Not found: the metrics are at /metrics.\n";
        return MHD_HTTP_NOT_FOUND;
    }
    if (method != "GET" && method != "HEAD") {
        body = "Method not allowed.\n";
        return MHD_HTTP_METHOD_NOT_ALLOWED;
    }
    if (!healthPath) {
        body = render();
        return MHD_HTTP_OK;
    }
    std::string line;
    const bool healthy = health(line);
    body = line + "\n";
    return healthy ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE;
}

bool MetricsServer::ParseAddress(const std::string& text, std::string& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 6) return false;
    host = text.substr(0, colon);
    if (host.front() == '[') {
        // IPv6 goes in brackets, as in a URL; its own colons stay apart from the port's.
        in6_addr v6;
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
        const std::string plain = host.substr(0, host.find('%'));
        if (inet_pton(AF_INET6, plain.c_str(), &v6) != 1) return false;
    } else {
        in_addr v4;
        const bool dotted = host.find_first_not_of("0123456789.") == std::string::npos;
        if (dotted ? inet_pton(AF_INET, host.c_str(), &v4) != 1 : !IsHostName(host)) return false;
    }
    unsigned long number = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + static_cast<unsigned>(text[i] - '0');
    }
    // Port 0 would listen wherever the system chooses, where no scraper looks.
    if (number == 0 || number > 65535) return false;
    port = static_cast<uint16_t>(number);
    return true;
}

bool MetricsServer::Start(const std::string& address, std::string& error) {
    std::string host;
    uint16_t port = 0;
    if (!ParseAddress(address, host, port)) {
        error = "\"" + address + "\" is no address of the form 127.0.0.1:10302";
        return false;
    }
    std::vector<SocketAddress> addresses;
    std::string why;
    if (!NameLookup::Resolve(host, port, addresses, why)) {
        error = "cannot listen on " + address + ": " + why;
        return false;
    }
    Daemons next;
    bool served = ServeAll(address, addresses, next, error);
    if (!served && GetPort() == port) {
        // Another host on our own port clashes with our listener: it goes first, and comes
        // back when the new address cannot be had either.
        const std::string old = address_;
        Stop();
        served = ServeAll(address, addresses, next, error);
        std::string ignored;
        if (!served && !Start(old, ignored)) error += " (and " + old + " could not be taken back)";
    }
    if (!served) return false;
    daemons_ = std::move(next);  // the old daemons, if any, stop here
    address_ = address;
    return true;
}

bool MetricsServer::ServeAll(const std::string& text, const std::vector<SocketAddress>& addresses, Daemons& next,
                             std::string& error) {
    next.clear();
    for (const SocketAddress& address : addresses) {
        std::string why;
        std::unique_ptr<Daemon> daemon = Serve(address, why);
        if (!daemon) {
            const std::string where = TextOf(address);
            error = "cannot " + why + " on " + text + (where == text ? "" : " (" + where + ")") + ": " +
                    (errno ? std::generic_category().message(errno) : "the HTTP server did not start");
            next.clear();
            return false;
        }
        next.push_back(std::move(daemon));
    }
    return true;
}

// On failure, why names the step ("listen" or "serve") with errno set.
std::unique_ptr<MetricsServer::Daemon> MetricsServer::Serve(const SocketAddress& address, std::string& why) {
    const int listener = Listen(address);
    if (listener < 0) {
        why = "listen";
        return nullptr;
    }
    std::unique_ptr<Daemon> daemon(new Daemon(render_, health_, PortOf(address)));
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
    const int error = errno;
    close(listener);
    errno = error;
    why = "serve";
    return nullptr;
}

void MetricsServer::Stop() {
    daemons_.clear();
    address_.clear();
}

int MetricsServer::GetPort() const { return daemons_.empty() ? 0 : daemons_.front()->port; }
