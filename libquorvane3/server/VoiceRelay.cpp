#include "server/VoiceRelay.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "network/AcknowledgePacket.h"
#include "network/AudioPacket.h"
#include "network/CryptAudioPacket.h"
#include "network/HelloPacket.h"
#include "network/KeepAlivePacket.h"
#include "network/PacketHandler.h"
#include "network/ThreadPrecedence.h"
#include "server/ServerStatistics.h"
#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

VoiceRelay::VoiceRelay(PacketHandler& socket, ServerStatistics& statistics, int maxUserId)
    : socket_(socket), statistics_(statistics), routes_(maxUserId) {}

uint64_t VoiceRelay::GetDroppedBySocket() const { return socket_.DroppedDatagrams(); }

void VoiceRelay::OnPacketReceived(char* data, int length, const ACE_INET_Addr& from) {
    statistics_.Add(ServerStatistics::VOICE_DATAGRAMS_RECEIVED);
    if (!data || length <= 5) {
        statistics_.Add(ServerStatistics::VOICE_DROPPED_MALFORMED);
        return;
    }
    switch (static_cast<unsigned char>(data[0])) {
    case PACKET_HELLO: HandleHello(data, length, from); break;
    case PACKET_KEEPALIVE: HandleKeepAlive(data, length, from); break;
    case PACKET_AUDIO: {
        AudioPacket packet(data, length);
        RelayAudio(packet, PACKET_AUDIO_RELAYED, length, from);
        break;
    }
    case PACKET_CRYPTAUDIO: {
        CryptAudioPacket packet(data, length);
        RelayAudio(packet, PACKET_CRYPTAUDIO_RELAYED, length, from);
        break;
    }
    default: statistics_.Add(ServerStatistics::VOICE_DROPPED_MALFORMED); break;
    }
}

// A datagram too short for its kind, or whose length field is under its header or over
// the datagram, names nobody: it is malformed, whoever sent it.
VoiceEndpoint* VoiceRelay::VoiceOwner(bool wellFormed, int userId, const ACE_INET_Addr& from) const {
    if (!wellFormed) {
        statistics_.Add(ServerStatistics::VOICE_DROPPED_MALFORMED);
        return nullptr;
    }
    VoiceEndpoint* const endpoint = routes_.Find(userId);
    IpAddress sender;
    if (!endpoint || !IpAddress::FromAce(from, sender) || endpoint->GetTcpAddress() != sender) {
        statistics_.Add(ServerStatistics::VOICE_DROPPED_STRANGER);
        return nullptr;
    }
    return endpoint;
}

// The owner check has made sure the sender's IP address is the command connection's.
void VoiceRelay::Bind(VoiceEndpoint& endpoint, const ACE_INET_Addr& from) const {
    endpoint.SetAddress(endpoint.GetTcpAddress(), from.get_port_number(), socket_.CurrentDestination());
}

VoiceRelay::Target VoiceRelay::ReplyTarget(const ACE_INET_Addr& from) const {
    Target target;
    const size_t size = std::min(static_cast<size_t>(from.get_size()), sizeof target.to.v6);
    std::memcpy(&target.to.v6, from.get_addr(), size);
    target.to.length = static_cast<socklen_t>(size);
    target.from = socket_.CurrentDestination();
    return target;
}

void VoiceRelay::HandleHello(char* data, int length, const ACE_INET_Addr& from) {
    const HelloPacket packet(data, length);
    VoiceEndpoint* const user = VoiceOwner(packet.IsValid(), packet.GetUserID(), from);
    if (!user) return;
    Bind(*user, from);
    user->SetPacketProtocol(packet.GetProtocol());
    const AcknowledgePacket ack(0);
    SendPacket(ack.GetPacket(), PACKET_HEADER_SIZE, ReplyTarget(from));
}

void VoiceRelay::HandleKeepAlive(char* data, int length, const ACE_INET_Addr& from) {
    KeepAlivePacket packet(data, length);
    VoiceEndpoint* const user = VoiceOwner(packet.IsValid(), packet.GetUserID(), from);
    if (!user) return;
    Bind(*user, from);
    packet.SetAnswerForm(true);
    packet.SetProtocol(SERVER_PACKET_PROTOCOL);
    packet.SetUserID(0);
    // The packet holds only its 6-byte header: a longer length field must not make the
    // answer read past it (nor amplify spoofed traffic).
    int answerLength = packet.GetPacketSize();
    if (answerLength > PACKET_HEADER_SIZE) answerLength = PACKET_HEADER_SIZE;
    if (answerLength > 0) SendPacket(packet.GetPacket(), answerLength, ReplyTarget(from));
}

// The received buffer is patched in place (its type byte) and relayed as it is: no copy.
void VoiceRelay::RelayAudio(AudioPacket& packet, uint8_t relayedType, int length, const ACE_INET_Addr& from) {
    statistics_.AddVoiceReceived(static_cast<uint64_t>(length));
    packet.SetPacketType(relayedType);
    VoiceEndpoint* const sender = VoiceOwner(packet.IsValid(), packet.GetUserID(), from);
    if (!sender) return;
    if (!sender->IsLoggedIn()) {
        statistics_.Add(ServerStatistics::VOICE_DROPPED_SILENT);
        return;
    }
    if (!sender->IsBoundTo(from.get_port_number(), socket_.CurrentDestination())) Bind(*sender, from);
    ForwardAudioPacket(*sender, packet.GetDestUserID(), packet);
}

void VoiceRelay::ForwardAudioPacket(const VoiceEndpoint& sender, int destUserId, const AudioPacket& packet) {
    const int length = packet.GetPacketSize();
    const int family = socket_.Family();
    targets_.clear();
    Target target;
    if (destUserId != 0) {
        const VoiceEndpoint* const receiver = routes_.Find(destUserId);
        if (receiver && receiver->IsLoggedIn() && receiver->GetAddress(family, target.to)) {
            target.from = receiver->GetLocalAddress();
            targets_.push_back(target);
        }
    } else if (const VoiceChannel* const channel = sender.GetChannel()) {
        for (const voiceendpoint_t& member : channel->GetMembers()) {
            if (member->GetUserID() == sender.GetUserID() || !member->IsLoggedIn() ||
                !member->GetAddress(family, target.to))
                continue;
            target.from = member->GetLocalAddress();
            targets_.push_back(target);
        }
    }
    if (targets_.empty()) return;
    const size_t refused = SendPacketToMany(packet.GetPacket(), length, targets_.data(), targets_.size());
    const size_t sent = targets_.size() - refused;
    statistics_.AddVoiceSent(static_cast<uint64_t>(length) * sent);
    statistics_.Add(ServerStatistics::VOICE_DATAGRAMS_RELAYED, sent);
    if (refused != 0) statistics_.Add(ServerStatistics::VOICE_DROPPED_REFUSED, refused);
    const int64_t latency = PacketHandler::MonotonicNanoseconds() - socket_.CurrentReceiveTime();
    if (latency >= 0) statistics_.RecordRelayLatency(static_cast<uint64_t>(latency));
}

size_t VoiceRelay::SendPacket(const char* data, int length, const Target& to) {
    return SendPacketToMany(data, length, &to, 1);
}

// One system call sends the datagram to every receiver, in list order; a receiver the
// kernel refuses (its buffer full, say) is skipped, and the rest still get theirs. The
// socket never blocks: a send it cannot take at once is dropped. A receiver with a local
// address gets the datagram from that address: IP_PKTINFO for an IPv4 one (which a
// dual-stack socket takes too), IPV6_PKTINFO for an IPv6 one.
size_t VoiceRelay::SendPacketToMany(const char* data, int length, const Target* to, size_t count) {
    iovec payload;
    payload.iov_base = const_cast<char*>(data);
    payload.iov_len = static_cast<size_t>(length);
    if (messages_.size() < count) {
        messages_.resize(count);
        controls_.resize(count);
    }
    for (size_t i = 0; i < count; ++i) {
        msghdr& header = messages_[i].msg_hdr;
        header.msg_name = const_cast<sockaddr*>(&to[i].to.any);
        header.msg_namelen = to[i].to.length;
        header.msg_iov = &payload;
        header.msg_iovlen = 1;
        header.msg_control = 0;
        header.msg_controllen = 0;
        header.msg_flags = 0;
        if (to[i].from.IsSet()) {
            const LocalAddress& from = to[i].from;
            const bool v4 = from.address.IsV4();
            header.msg_control = controls_[i].bytes;
            header.msg_controllen = v4 ? CMSG_SPACE(sizeof(in_pktinfo)) : CMSG_SPACE(sizeof(in6_pktinfo));
            cmsghdr* const control = CMSG_FIRSTHDR(&header);
            if (v4) {
                control->cmsg_level = IPPROTO_IP;
                control->cmsg_type = IP_PKTINFO;
                control->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo info;
                std::memset(&info, 0, sizeof info);
                info.ipi_spec_dst.s_addr = htonl(from.address.V4());
                std::memcpy(CMSG_DATA(control), &info, sizeof info);
            } else {
                control->cmsg_level = IPPROTO_IPV6;
                control->cmsg_type = IPV6_PKTINFO;
                control->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
                in6_pktinfo info;
                std::memset(&info, 0, sizeof info);
                std::memcpy(info.ipi6_addr.s6_addr, from.address.Bytes(), 16);
                info.ipi6_ifindex = from.interface;
                std::memcpy(CMSG_DATA(control), &info, sizeof info);
            }
        }
    }
    ThreadPrecedence::CountDatagrams(static_cast<unsigned>(count));
    const int fd = socket_.GetSocket().get_handle();
    size_t failures = 0;
    for (size_t done = 0; done < count;) {
        const size_t batch = count - done < UIO_MAXIOV ? count - done : UIO_MAXIOV;
        const int sent = ::sendmmsg(fd, &messages_[done], static_cast<unsigned>(batch), MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            ++failures;  // the first of the batch was refused: skip it
            ++done;
        }
    }
    return failures;
}

}  // namespace server
}  // namespace quorvane
