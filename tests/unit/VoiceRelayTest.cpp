// The voice relay's drops, each counted under its reason, driven without sockets: no
// datagram here reaches a send.
#include <memory>
#include <string>

#include <ace/INET_Addr.h>
#include <gtest/gtest.h>

#include "TestClient.h"
#include "network/PacketHandler.h"
#include "server/ServerStatistics.h"
#include "server/VoiceRelay.h"

using quorvane::PacketHandler;
using quorvane::server::ServerStatistics;
using quorvane::server::VoiceEndpoint;
using quorvane::server::VoiceRelay;
using testing_support::AudioPacketBytes;

namespace {

TEST(VoiceRelayTest, EachDropCountsUnderItsReason) {
    typedef ServerStatistics S;
    const std::string hello = testing_support::HelloPacketBytes(1);
    const struct {
        const char* name;
        std::string datagram;
        const char* from;
        S::Counter reason;
    } cases[] = {
        {"five bytes", std::string("\x05\x03\x08\x00\x01", 5), "127.0.0.1", S::VOICE_DROPPED_MALFORMED},
        {"audio of 7 bytes", AudioPacketBytes(5, 1, 0, 8).substr(0, 7), "127.0.0.1", S::VOICE_DROPPED_MALFORMED},
        {"length field under 8", AudioPacketBytes(5, 1, 0, 7, 20), "127.0.0.1", S::VOICE_DROPPED_MALFORMED},
        {"length field over the datagram", AudioPacketBytes(5, 1, 0, 30, 20), "127.0.0.1", S::VOICE_DROPPED_MALFORMED},
        {"enciphered, length field over", AudioPacketBytes(8, 1, 0, 30, 20), "127.0.0.1", S::VOICE_DROPPED_MALFORMED},
        {"hello, length field over", hello.substr(0, 2) + "\x40" + hello.substr(3), "127.0.0.1",
         S::VOICE_DROPPED_MALFORMED},
        {"unknown type", std::string(10, '\x7f'), "127.0.0.1", S::VOICE_DROPPED_MALFORMED},
        {"audio naming nobody", AudioPacketBytes(5, 2, 0, 20), "127.0.0.1", S::VOICE_DROPPED_STRANGER},
        {"audio from another host", AudioPacketBytes(5, 1, 0, 20), "127.0.0.2", S::VOICE_DROPPED_STRANGER},
        {"hello from another host", hello, "127.0.0.2", S::VOICE_DROPPED_STRANGER},
        {"audio before login", AudioPacketBytes(5, 1, 0, 20), "127.0.0.1", S::VOICE_DROPPED_SILENT},
    };
    for (const auto& c : cases) {
        PacketHandler socket(nullptr);
        ServerStatistics statistics;
        VoiceRelay relay(socket, statistics, 10);
        relay.Routes().Set(1, std::make_shared<VoiceEndpoint>(1, IpAddress::FromV4(0x7f000001)));
        std::string bytes = c.datagram;
        relay.OnPacketReceived(&bytes[0], static_cast<int>(bytes.size()),
                               ACE_INET_Addr(static_cast<u_short>(5000), c.from));
        for (S::Counter reason : {S::VOICE_DROPPED_MALFORMED, S::VOICE_DROPPED_STRANGER, S::VOICE_DROPPED_SILENT})
            EXPECT_EQ(statistics.Get(reason), reason == c.reason ? 1u : 0u) << c.name << ", counter " << reason;
        relay.Routes().Set(1, nullptr);
    }
}

}  // namespace
