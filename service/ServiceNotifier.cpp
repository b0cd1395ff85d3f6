#include "ServiceNotifier.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>

ServiceNotifier::ServiceNotifier(const std::string& address) {
    address_.sun_family = AF_UNIX;
    const bool abstract = !address.empty() && address[0] == '@';
    if (address.empty()) {
        addressError_ = "NOTIFY_SOCKET is not set";
    } else if (address[0] != '/' && !abstract) {
        addressError_ = "NOTIFY_SOCKET is no socket path: " + address;
    } else if (address.size() >= sizeof address_.sun_path) {
        addressError_ = "NOTIFY_SOCKET is too long";
    } else {
        address.copy(address_.sun_path, address.size());
        // An abstract name starts with a NUL byte and is as long as given, without an end.
        if (abstract) address_.sun_path[0] = '\0';
        addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (abstract ? 0 : 1));
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) addressError_ = std::generic_category().message(errno);
    }
}

ServiceNotifier::~ServiceNotifier() {
    if (fd_ >= 0) close(fd_);
}

ServiceNotifier& ServiceNotifier::OfProcess() {
    static ServiceNotifier notifier(std::getenv("NOTIFY_SOCKET") ? std::getenv("NOTIFY_SOCKET") : "");
    return notifier;
}

void ServiceNotifier::Keep(const std::string& state, const std::string& status, const std::string& extra) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!state.empty() || !report_) state_ = state;
    status_ = status;
    extra_ = extra;
    report_ = true;
    ++version_;
}

void ServiceNotifier::KeepWatchdog() {
    std::lock_guard<std::mutex> guard(lock_);
    watchdog_ = true;
}

bool ServiceNotifier::Waiting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return watchdog_ || report_;
}

int ServiceNotifier::SendNow(const std::string& message) const {
    if (fd_ < 0) return -1;
    ssize_t sent;
    do {
        sent = sendto(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address_), addressLength_);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 ? 0 : errno == EWOULDBLOCK ? EAGAIN : errno;
}

bool ServiceNotifier::Send(std::string& error) {
    std::unique_lock<std::mutex> guard(lock_);
    if (sending_) return true;
    sending_ = true;
    bool sent = true;
    while (watchdog_ || report_) {
        const bool watchdog = watchdog_;
        const uint64_t version = version_;
        const std::string message = watchdog ? std::string("WATCHDOG=1")
                                             : (state_.empty() ? "" : state_ + "\n") + "STATUS=" + status_ +
                                                   (extra_.empty() ? "" : "\n" + extra_);
        guard.unlock();
        const int result = SendNow(message);
        guard.lock();
        if (result == EAGAIN) break;  // the socket is full: the next call tries again
        if (watchdog) {
            watchdog_ = false;
        } else if (version == version_) {
            report_ = false;
            state_.clear();
        }
        if (result != 0) {
            sent = false;
            error = result < 0 ? addressError_ : std::generic_category().message(result);
        }
    }
    sending_ = false;
    return sent;
}
