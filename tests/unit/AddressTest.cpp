// Addresses of either family: their text (plain IPv4, RFC 5952 for IPv6), networks, the
// bind-ip and metrics-address forms, a name's addresses and a voice endpoint's address.
#include <arpa/inet.h>
#include <netdb.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/BindAddress.h"
#include "network/MetricsServer.h"
#include "network/NameLookup.h"
#include "server/VoiceEndpoint.h"

namespace {

IpAddress Ip(const char* text) {
    IpAddress address;
    EXPECT_TRUE(IpAddress::Parse(text, address)) << text;
    return address;
}

TEST(AddressTest, TextIsPlainIpv4OrCompressedIpv6AndNetworksKeepTheirFirstBits) {
    const struct {
        const char* given;
        const char* text;
        const char* network64;  // of IPv4: the address itself
        const char* network57;
    } cases[] = {
        {"192.0.2.1", "192.0.2.1", "192.0.2.1", "192.0.2.1"},
        {"::ffff:192.0.2.1", "192.0.2.1", "192.0.2.1", "192.0.2.1"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1", "2001:db8::", "2001:db8::"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", "2001:db8::", "2001:db8::"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1", "2001:db8:0:1::", "2001:db8::"},
        {"2001:db8:1:2ff:a:b:c:d", "2001:db8:1:2ff:a:b:c:d", "2001:db8:1:2ff::", "2001:db8:1:280::"},
        {"::", "::", "::", "::"},
        {"::1", "::1", "::", "::"},
        {"1::", "1::", "1::", "1::"},
        {"::1.2.3.4", "::102:304", "::", "::"},
        {"fe80::1:0:0:0", "fe80::1:0:0:0", "fe80::", "fe80::"},
    };
    for (const auto& c : cases) {
        const IpAddress address = Ip(c.given);
        EXPECT_EQ(address.Text(), c.text) << c.given;
        EXPECT_EQ(address.Prefix(64).Text(), c.network64) << c.given;
        EXPECT_EQ(address.Prefix(57).Text(), c.network57) << c.given;
        EXPECT_EQ(address.Prefix(128), address) << c.given;
    }
    EXPECT_TRUE(Ip("::ffff:10.0.0.1") == IpAddress::FromV4(0x0a000001));
    EXPECT_EQ(IpAddress::FromV4(0xffffffff).Text(), "255.255.255.255");
    IpAddress refused;
    for (const char* text : {"", "1.2.3", "1::2::3", "2001:db8::1%eth0", "::ffff:1.2.3.4.5", "[::1]", "localhost"})
        EXPECT_FALSE(IpAddress::Parse(text, refused)) << text;
}

TEST(AddressTest, BindIpIsEveryAddressOneIpv4AsAlwaysOrOneIpv6) {
    const struct {
        const char* text;
        bool valid;
        bool wildcard;
    } cases[] = {
        {"", true, true},
        {"0.0.0.0", true, true},
        {"::", true, true},
        {"127.0.0.1", true, false},
        {"127.1", true, false},  // as inet_addr(3) has always read it
        {"::1", true, false},
        {"fe80::1%lo", true, false},
        {"::ffff:127.0.0.1", false, false},
        {"255.255.255.255", false, false},
        {"1::2::3", false, false},
        {"::1%no-such-interface", false, false},
        {"localhost", false, false},
    };
    for (const auto& c : cases) {
        BindAddress where;
        EXPECT_EQ(BindAddress::Parse(c.text, where), c.valid) << c.text;
        EXPECT_EQ(c.valid && where.IsWildcard(), c.wildcard) << c.text;
        EXPECT_EQ(c.valid && where.IsEvery(), c.valid && c.text[0] == '\0') << c.text;
    }
}

TEST(AddressTest, MetricsAddressIsIpv4BracketedIpv6OrANameWithAPort) {
    const struct {
        const char* text;
        const char* host;  // null: refused
        int port;
    } cases[] = {
        {"127.0.0.1:10302", "127.0.0.1", 10302},
        {"[::1]:10302", "::1", 10302},
        {"[fe80::1%lo]:1", "fe80::1%lo", 1},
        {"localhost:65535", "localhost", 65535},
        {"metrics-1.example.org:9", "metrics-1.example.org", 9},
        {"::1:10302", nullptr, 0},
        {"[::1]10302", nullptr, 0},
        {"[::1:10302", nullptr, 0},
        {"[1.2.3.4]:10302", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.256:10302", nullptr, 0},
        {"-bad.example:10302", nullptr, 0},
        {"under_score:10302", nullptr, 0},
        {":10302", nullptr, 0},
    };
    for (const auto& c : cases) {
        std::string host;
        uint16_t port = 0;
        EXPECT_EQ(MetricsServer::ParseAddress(c.text, host, port), c.host != nullptr) << c.text;
        if (!c.host) continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
}

// A name's addresses are taken once each, and at most NameLookup::MAX_ADDRESSES of them.
TEST(AddressTest, ANamesAddressesAreDistinctAndBounded) {
    const size_t bound = NameLookup::MAX_ADDRESSES;
    std::vector<sockaddr_in6> addresses(bound + 1);  // distinct
    std::vector<addrinfo> entries(bound + 2);        // each address, then the first again
    for (size_t i = 0; i < entries.size(); ++i) {
        sockaddr_in6& address = addresses[i % addresses.size()];
        address.sin6_family = AF_INET6;
        inet_pton(AF_INET6, ("2001:db8::" + std::to_string(i % addresses.size() + 1)).c_str(), &address.sin6_addr);
        entries[i].ai_family = AF_INET6;
        entries[i].ai_addr = reinterpret_cast<sockaddr*>(&address);
        entries[i].ai_addrlen = sizeof address;
    }
    auto answer = [&](const std::vector<size_t>& order) {
        for (size_t i = 0; i < order.size(); ++i)
            entries[order[i]].ai_next = i + 1 < order.size() ? &entries[order[i + 1]] : nullptr;
        return &entries[order[0]];
    };
    std::vector<SocketAddress> out;
    std::string error;
    EXPECT_TRUE(NameLookup::Collect("name", answer({0, 1, 2, 3, 4, 5, 6, 7, 9}), 10302, out, error)) << error;
    EXPECT_EQ(out.size(), bound);
    EXPECT_EQ(ntohs(out.back().v6.sin6_port), 10302);
    EXPECT_FALSE(NameLookup::Collect("name", answer({0, 1, 2, 3, 4, 5, 6, 7, 8}), 10302, out, error));
    EXPECT_EQ(error, "name has more than 8 addresses");
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(NameLookup::Resolve("::1", 1, out, error));
    EXPECT_EQ(out.size(), 1u);
}

// An IPv6 voice address can only be the command connection's; each socket family gets the
// address in its own form.
TEST(AddressTest, VoiceEndpointsGiveTheirAddressInTheSocketsFamily) {
    using quorvane::server::VoiceEndpoint;
    VoiceEndpoint six(1, Ip("2001:db8::7"), 3), four(2, Ip("192.0.2.7"));
    EXPECT_FALSE(six.SetAddress(Ip("2001:db8::8"), 5000));
    EXPECT_FALSE(six.HasAddress());
    EXPECT_TRUE(six.SetAddress(Ip("2001:db8::7"), 5000));
    EXPECT_TRUE(four.SetAddress(Ip("192.0.2.9"), 6000));  // IPv4 as it always was: any
    SocketAddress out;
    char text[INET6_ADDRSTRLEN];
    EXPECT_FALSE(six.GetAddress(AF_INET, out));
    ASSERT_TRUE(six.GetAddress(AF_INET6, out));
    EXPECT_STREQ(inet_ntop(AF_INET6, &out.v6.sin6_addr, text, sizeof text), "2001:db8::7");
    EXPECT_EQ(ntohs(out.v6.sin6_port), 5000);
    EXPECT_EQ(out.v6.sin6_scope_id, 3u);
    ASSERT_TRUE(four.GetAddress(AF_INET6, out));
    EXPECT_STREQ(inet_ntop(AF_INET6, &out.v6.sin6_addr, text, sizeof text), "::ffff:192.0.2.9");
    ASSERT_TRUE(four.GetAddress(AF_INET, out));
    EXPECT_EQ(out.length, sizeof(sockaddr_in));
    EXPECT_STREQ(inet_ntop(AF_INET, &out.v4.sin_addr, text, sizeof text), "192.0.2.9");
}

}  // namespace
