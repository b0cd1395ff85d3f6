#include "network/NameLookup.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// One look-up, shared by the caller and the thread that runs it.
struct Pending {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int result = 0;
    addrinfo* found = nullptr;
    ~Pending() {
        if (found) freeaddrinfo(found);
    }
};

int Lookup(const std::string& host, int flags, addrinfo** found) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return getaddrinfo(host.c_str(), nullptr, &hints, found);
}

}  // namespace

bool NameLookup::Resolve(const std::string& host, uint16_t port, std::vector<SocketAddress>& out, std::string& error,
                         int deadlineMs) {
    const std::shared_ptr<Pending> pending = std::make_shared<Pending>();
    if (Lookup(host, AI_NUMERICHOST, &pending->found) != 0) {
        std::thread([pending, host] {
            addrinfo* found = nullptr;
            const int result = Lookup(host, 0, &found);
            std::lock_guard<std::mutex> guard(pending->lock);
            pending->result = result;
            pending->found = found;
            pending->done = true;
            pending->finished.notify_all();
        }).detach();
        std::unique_lock<std::mutex> guard(pending->lock);
        if (!pending->finished.wait_for(guard, std::chrono::milliseconds(deadlineMs), [&] { return pending->done; })) {
            error = "looking up " + host + " took longer than " + std::to_string(deadlineMs / 1000) + " s";
            return false;
        }
        if (pending->result != 0) {
            error = "cannot look up " + host + ": " + gai_strerror(pending->result);
            return false;
        }
    }
    return Collect(host, pending->found, port, out, error);
}

bool NameLookup::Collect(const std::string& host, const addrinfo* found, uint16_t port, std::vector<SocketAddress>& out,
                         std::string& error) {
    out.clear();
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        IpAddress ip;
        uint32_t scope = 0;
        SocketAddress address;
        if (!IpAddress::FromSockaddr(ai->ai_addr, ai->ai_addrlen, ip, &scope) ||
            !address.Set(ai->ai_family, ip, port, scope))
            continue;
        bool seen = false;
        for (const SocketAddress& earlier : out)
            seen = seen ||
                   (earlier.length == address.length && std::memcmp(&earlier.v6, &address.v6, address.length) == 0);
        if (seen) continue;
        if (out.size() == MAX_ADDRESSES) {
            error = host + " has more than " + std::to_string(MAX_ADDRESSES) + " addresses";
            out.clear();
            return false;
        }
        out.push_back(address);
    }
    if (out.empty()) error = host + " has no address";
    return !out.empty();
}
