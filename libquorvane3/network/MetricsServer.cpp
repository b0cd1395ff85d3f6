#include "network/MetricsServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace {

const char* const CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// Every request is answered at its first call: the body of a POST or PUT is never read.
MHD_Result HandleRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char*, size_t* uploadSize, void**) {
    const MetricsServer::Render& render = *static_cast<const MetricsServer::Render*>(cls);
    std::string body;
    const int status = MetricsServer::Answer(method ? method : "", url ? url : "", render, body);
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
    if (number > 65535) return false;
    host = ntohl(parsed.s_addr);
    port = static_cast<uint16_t>(number);
    return true;
}

bool MetricsServer::Start(const std::string& address, std::string& error) {
    Stop();
    uint32_t host = 0;
    uint16_t port = 0;
    if (!ParseAddress(address, host, port)) {
        error = "\"" + address + "\" is no address of the form 127.0.0.1:10302";
        return false;
    }
    sockaddr_in bind;
    std::memset(&bind, 0, sizeof bind);
    bind.sin_family = AF_INET;
    bind.sin_port = htons(port);
    bind.sin_addr.s_addr = htonl(host);
    errno = 0;
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, port, nullptr, nullptr, &HandleRequest,
                               &render_, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&bind),
                               MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(MAX_CONNECTIONS),
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(MAX_CONNECTIONS_PER_ADDRESS),
                               MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(IDLE_SECONDS),
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(MEMORY_PER_CONNECTION),
                               MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_END);
    if (daemon_) return true;
    error = std::string("cannot listen on ") + address + (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
}

void MetricsServer::Stop() {
    if (!daemon_) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

int MetricsServer::GetPort() const {
    if (!daemon_) return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}
