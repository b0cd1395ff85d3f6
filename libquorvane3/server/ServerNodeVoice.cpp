// ServerNode: what happens to each UDP datagram — hello, keep-alive and the audio relay.
// Runs on the voice reactor's thread; touches users and channels under the node's lock
// and sends under the send lock.
#include <sys/socket.h>
#include <sys/uio.h>

#include <ace/Guard_T.h>

#include "network/AcknowledgePacket.h"
#include "network/AudioPacket.h"
#include "network/CryptAudioPacket.h"
#include "network/HelloPacket.h"
#include "network/KeepAlivePacket.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

typedef ACE_Guard<ACE_Recursive_Thread_Mutex> NodeGuard;

void ServerNode::OnPacketReceived(char* data, int length, const ACE_INET_Addr& from) {
    if (!data || length <= 5) return;
    switch (static_cast<unsigned char>(data[0])) {
    case PACKET_HELLO: HandleHello(data, length, from); break;
    case PACKET_KEEPALIVE: HandleKeepAlive(data, length, from); break;
    case PACKET_AUDIO: {
        AudioPacket packet(data, length);
        RelayAudio(packet, PACKET_AUDIO_RELAYED, length, from);
        break;
    }
    case PACKET_CRYPTAUDIO: {
        CryptAudioPacket packet(data, length, 1);
        RelayAudio(packet, PACKET_CRYPTAUDIO_RELAYED, length, from);
        break;
    }
    default: break;
    }
}

void ServerNode::HandleHello(char* data, int length, const ACE_INET_Addr& from) {
    const HelloPacket packet(data, length);
    NodeGuard guard(lock_);
    users_t::const_iterator it = users_.find(packet.GetUserID());
    if (it == users_.end()) return;
    const serveruser_t& user = it->second;
    user->SetUdpAddress(from);
    user->SetPacketProtocol(packet.GetProtocol());
    if (!user->IsUdpConnected()) user->SetUdpConnected(true);
    const AcknowledgePacket ack(0);
    SendPacket(ack.GetPacket(), PACKET_HEADER_SIZE, user->GetUdpAddress());
}

void ServerNode::HandleKeepAlive(char* data, int length, const ACE_INET_Addr& from) {
    KeepAlivePacket packet(data, length);
    NodeGuard guard(lock_);
    users_t::const_iterator it = users_.find(packet.GetUserID());
    if (it == users_.end()) return;
    const serveruser_t& user = it->second;
    user->SetUdpAddress(from);
    packet.SetAnswerForm(true);
    packet.SetProtocol(SERVER_PACKET_PROTOCOL);
    packet.SetUserID(0);
    // The packet holds only its 6-byte header: a longer length field must not make the
    // answer read past it (nor amplify spoofed traffic).
    int answerLength = packet.GetPacketSize();
    if (answerLength > PACKET_HEADER_SIZE) answerLength = PACKET_HEADER_SIZE;
    if (answerLength > 0) SendPacket(packet.GetPacket(), answerLength, user->GetUdpAddress());
}

// The received buffer is patched in place (its type byte) and relayed as it is: no copy.
void ServerNode::RelayAudio(AudioPacket& packet, uint8_t relayedType, int length, const ACE_INET_Addr& from) {
    packet.SetPacketType(relayedType);
    NodeGuard guard(lock_);
    users_t::const_iterator it = users_.find(packet.GetUserID());
    if (it != users_.end()) {
        const serveruser_t& sender = it->second;
        if (sender->GetUdpAddress() != from) sender->SetUdpAddress(from);
        ForwardAudioPacket(sender, packet.GetDestUserID(), packet);
    }
    voiceBytesReceived_ += static_cast<uint64_t>(length);
}

void ServerNode::ForwardAudioPacket(const serveruser_t& sender, int destUserId, const AudioPacket& packet) {
    NodeGuard guard(lock_);
    const int length = packet.GetPacketSize();
    if (destUserId != 0) {
        users_t::const_iterator it = users_.find(destUserId);
        if (it == users_.end()) return;
        SendPacket(packet.GetPacket(), length, it->second->GetUdpAddress());
        voiceBytesSent_ += static_cast<uint64_t>(length);
        return;
    }
    const serverchannel_t channel = sender->GetChannel();
    if (!channel) return;
    const int senderId = sender->GetUserID();
    voiceTargets_.clear();
    // The members' own addresses are used in place: they change only under our lock.
    channel->ForEachUser([this, senderId](const serveruser_t& member) {
        if (member->GetUserID() != senderId) voiceTargets_.push_back(&member->GetUdpAddress());
    });
    if (voiceTargets_.empty()) return;
    SendPacketToMany(packet.GetPacket(), length, voiceTargets_.data(), voiceTargets_.size());
    voiceBytesSent_ += static_cast<uint64_t>(length) * voiceTargets_.size();
}

int ServerNode::SendPacket(const char* data, int length, const ACE_INET_Addr& to) {
    ACE_Guard<ACE_Thread_Mutex> guard(sendLock_);
    // A failed send is not retried; voice is real time.
    return packetHandler_.GetSocket().send(data, static_cast<size_t>(length), to) < 0 ? -1 : 0;
}

int ServerNode::SendPacketToMany(const char* data, int length, const std::vector<ACE_INET_Addr>& to) {
    std::vector<const ACE_INET_Addr*> targets;
    targets.reserve(to.size());
    for (size_t i = 0; i < to.size(); ++i) targets.push_back(&to[i]);
    return SendPacketToMany(data, length, targets.data(), targets.size());
}

// One system call sends the datagram to every receiver, in list order; a receiver the
// kernel refuses is skipped, and the rest still get theirs.
int ServerNode::SendPacketToMany(const char* data, int length, const ACE_INET_Addr* const* to, size_t count) {
    ACE_Guard<ACE_Thread_Mutex> guard(sendLock_);
    iovec payload;
    payload.iov_base = const_cast<char*>(data);
    payload.iov_len = static_cast<size_t>(length);
    if (sendMessages_.size() < count) sendMessages_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        msghdr& header = sendMessages_[i].msg_hdr;
        header.msg_name = to[i]->get_addr();
        header.msg_namelen = static_cast<socklen_t>(to[i]->get_size());
        header.msg_iov = &payload;
        header.msg_iovlen = 1;
        header.msg_control = 0;
        header.msg_controllen = 0;
        header.msg_flags = 0;
    }
    const int fd = packetHandler_.GetSocket().get_handle();
    int failures = 0;
    for (size_t done = 0; done < count;) {
        const size_t batch = count - done < UIO_MAXIOV ? count - done : UIO_MAXIOV;
        const int sent = ::sendmmsg(fd, &sendMessages_[done], static_cast<unsigned>(batch), 0);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
        } else {
            ++failures;  // the first of the batch was refused: skip it
            ++done;
        }
    }
    return failures == 0 ? 0 : -1;
}

}  // namespace server
}  // namespace quorvane
