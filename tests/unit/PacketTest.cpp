#include "network/AcknowledgePacket.h"
#include "network/AudioPacket.h"
#include "network/CryptAudioPacket.h"
#include "network/HelloPacket.h"
#include "network/KeepAlivePacket.h"

#include <gtest/gtest.h>

#include <string>

using namespace quorvane;

namespace {

std::string Bytes(const Packet& packet, size_t count) { return std::string(packet.GetPacket(), count); }

std::string Datagram(std::initializer_list<int> header, size_t size) {
    std::string bytes(size, '\x55');
    size_t i = 0;
    for (int b : header) bytes[i++] = static_cast<char>(b);
    return bytes;
}

}  // namespace

TEST(HeaderPackets, ValidityAndFields) {
    const std::string hello = Datagram({1, 3, 6, 0, 0x34, 0x12}, 9);
    HelloPacket valid(hello.data(), 9);  // bytes past the length field are ignored
    EXPECT_EQ(1, valid.GetPacketType());
    EXPECT_EQ(3, valid.GetProtocol());
    EXPECT_EQ(6, valid.GetPacketSize());
    EXPECT_EQ(0x1234, valid.GetUserID());
    const std::string zeros(6, '\0');
    const std::string longClaim = Datagram({1, 3, 8, 0, 7, 0}, 6);
    EXPECT_EQ(zeros, Bytes(HelloPacket(longClaim.data(), 6), 6));
    EXPECT_EQ(zeros, Bytes(HelloPacket(hello.data(), 5), 6));
    EXPECT_EQ(zeros, Bytes(HelloPacket(hello.data(), -1), 6));
    EXPECT_EQ(zeros, Bytes(HelloPacket(nullptr, 6), 6));
    const std::string bigClaim = Datagram({3, 3, 0x2c, 0x01, 7, 0}, 300);  // length 300
    EXPECT_EQ(300, KeepAlivePacket(bigClaim.data(), 300).GetPacketSize());
    EXPECT_EQ(0, KeepAlivePacket(bigClaim.data(), 299).GetPacketSize());
}

TEST(HeaderPackets, KeepAliveAnswerAndAcknowledge) {
    const std::string keepAlive = Datagram({3, 3, 6, 0, 7, 0}, 6);
    KeepAlivePacket packet(keepAlive.data(), 6);
    packet.SetAnswerForm(true);
    packet.SetProtocol(SERVER_PACKET_PROTOCOL);
    packet.SetUserID(0);
    EXPECT_EQ(std::string("\x06\x05\x06\x00\x00\x00", 6), Bytes(packet, 6));
    packet.SetAnswerForm(false);
    packet.SetUserID(0x0201);
    EXPECT_EQ(std::string("\x03\x05\x06\x00\x01\x02", 6), Bytes(packet, 6));
    EXPECT_EQ(std::string("\x02\x05\x06\x00\x00\x00", 6), Bytes(AcknowledgePacket(0), 6));
    EXPECT_EQ(std::string("\x02\x05\x06\x00\xff\x7f", 6), Bytes(AcknowledgePacket(32767), 6));
}

TEST(AudioPackets, ValidPacketIsReadAndRetypedInPlace) {
    std::string bytes = Datagram({5, 3, 32, 0, 7, 0, 0x09, 0x01}, 40);
    AudioPacket packet(&bytes[0], 40);
    ASSERT_TRUE(packet.IsValid());
    EXPECT_EQ(bytes.data(), packet.GetPacket());  // no copy on the voice path
    EXPECT_EQ(32, packet.GetPacketSize());
    EXPECT_EQ(7, packet.GetUserID());
    EXPECT_EQ(0x0109, packet.GetDestUserID());
    for (int ignored : {0, 7, 8, 6, 255}) packet.SetPacketType(static_cast<uint8_t>(ignored));
    EXPECT_EQ(5, bytes[0]);
    packet.SetPacketType(PACKET_AUDIO_RELAYED);
    EXPECT_EQ(4, bytes[0]);

    std::string crypt = Datagram({8, 3, 8, 0, 7, 0, 0, 0}, 8);
    CryptAudioPacket cryptPacket(&crypt[0], 8);
    ASSERT_TRUE(cryptPacket.IsValid());
    cryptPacket.SetPacketType(PACKET_AUDIO_RELAYED);
    EXPECT_EQ(8, crypt[0]);
    cryptPacket.SetPacketType(PACKET_CRYPTAUDIO_RELAYED);
    EXPECT_EQ(std::string("\x07\x03\x08\x00\x07\x00\x00\x00", 8), crypt);
}

TEST(AudioPackets, InvalidPacketReadsZeroAndIsNotWritten) {
    std::string longClaim = Datagram({5, 3, 48, 0, 7, 0, 1, 0}, 40);
    std::string headerOnly = Datagram({5, 3, 6, 0, 7, 0}, 6);
    std::string shortField = Datagram({5, 3, 7, 0, 7, 0, 1, 0}, 10);  // length field below 8
    struct Case {
        char* data;
        int length;
    } cases[] = {{&longClaim[0], 40}, {&headerOnly[0], 6},  {&shortField[0], 10},
                 {&longClaim[0], 7},  {&longClaim[0], -40}, {nullptr, 40}};
    for (const Case& c : cases) {
        CryptAudioPacket packet(c.data, c.length);
        EXPECT_FALSE(packet.IsValid());
        EXPECT_EQ(nullptr, packet.GetPacket());
        EXPECT_EQ(0, packet.GetPacketSize());
        EXPECT_EQ(0, packet.GetUserID());
        EXPECT_EQ(0, packet.GetDestUserID());
        packet.SetPacketType(PACKET_CRYPTAUDIO_RELAYED);
        AudioPacket(c.data, c.length).SetPacketType(PACKET_AUDIO_RELAYED);
    }
    EXPECT_EQ(5, longClaim[0]);
    EXPECT_EQ(5, headerOnly[0]);
    EXPECT_EQ(5, shortField[0]);
}
