// IPv6 for the tests: whether the machine has it at all, and a network namespace of the
// test's own, so that a server bound to every address is reachable from this test alone
// and several IPv6 hosts exist, as 127.0.0.2 plays a second IPv4 host: HOST_A1 and HOST_A2
// share one /64, HOST_B is in another.
//
// The namespace is the calling thread's (and the processes it starts) until the object
// goes; it needs root (CAP_SYS_ADMIN), as CI has.
#ifndef QUORVANE_TESTS_IPV6NETWORK_H
#define QUORVANE_TESTS_IPV6NETWORK_H

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace quorvane {
namespace test {

class Ipv6Network {
public:
    static constexpr const char* HOST_A1 = "fd00:1:2:3::a1";
    static constexpr const char* HOST_A2 = "fd00:1:2:3::a2";
    static constexpr const char* HOST_B = "fd00:1:2:4::b";

    // Whether an IPv6 socket binds ::1 here; why not, when it does not.
    static bool HasIpv6(std::string& why) {
        const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 loopback = {};
        loopback.sin6_family = AF_INET6;
        loopback.sin6_addr = in6addr_loopback;
        const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
        if (!bound) why = std::string("IPv6 is absent on this machine (") + std::strerror(errno) + ")";
        if (fd >= 0) ::close(fd);
        return bound;
    }

    // Enters a new namespace with the loopback interface up and the three addresses on it.
    bool Enter(std::string& why) {
        home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
            why = std::string("no network namespace of its own (it needs root): ") + std::strerror(errno);
            Leave();
            return false;
        }
        entered_ = true;
        const std::string script = std::string("ip link set lo up") + " && ip -6 addr add " + HOST_A1 +
                                   "/128 dev lo nodad && ip -6 addr add " + HOST_A2 +
                                   "/128 dev lo nodad && ip -6 addr add " + HOST_B + "/128 dev lo nodad";
        if (::system(script.c_str()) != 0) {
            why = "the namespace's addresses could not be set up (iproute2's ip)";
            Leave();
            return false;
        }
        return true;
    }

    ~Ipv6Network() { Leave(); }

private:
    void Leave() {
        if (entered_) ::setns(home_, CLONE_NEWNET);
        if (home_ >= 0) ::close(home_);
        entered_ = false;
        home_ = -1;
    }

    int home_ = -1;
    bool entered_ = false;
};

}  // namespace test
}  // namespace quorvane

#endif
