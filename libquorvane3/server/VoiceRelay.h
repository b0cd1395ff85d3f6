// What happens to each UDP datagram: the voice hello, keep-alives and the audio relay.
//
// Threads: OnPacketReceived and the sends run on the voice loop's thread and take no lock
// of the control plane (the packet handler holds its listener lock, which only its start
// and stop contend for, around each batch): they follow the voice endpoints the main loop publishes in Routes() (each
// user's address, logged-in flag and channel receivers) by raw pointer within the packet
// handler's reclaimer batch, and change only their atomic fields. A datagram naming a user
// counts only when it comes from the IP address of that user's command connection (the
// port may change), so nobody can take over another user's voice; audio goes only from
// and to logged-in users. What goes to a user leaves from the server address that user
// sends to. IPv4 and IPv6 users share one socket (dual stack) and hear each other.
#ifndef QUORVANE_SERVER_VOICERELAY_H
#define QUORVANE_SERVER_VOICERELAY_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include <ace/INET_Addr.h>

#include "network/LocalAddress.h"
#include "network/PacketListener.h"
#include "network/SocketAddress.h"
#include "server/VoiceRoutes.h"

namespace quorvane {

class AudioPacket;
class PacketHandler;

namespace server {

class ServerStatistics;

class VoiceRelay : public PacketListener {
public:
    VoiceRelay(PacketHandler& socket, ServerStatistics& statistics, int maxUserId);

    // The user id to voice endpoint table: set on the main loop's thread as users come
    // and go, read here.
    VoiceRoutes& Routes() { return routes_; }

    // One receiver: its address, and the local address to send from (none lets the
    // kernel choose).
    struct Target {
        SocketAddress to;
        LocalAddress from;
    };

    void OnPacketReceived(char* data, int length, const ACE_INET_Addr& from) override;
    // Datagrams the socket dropped before they reached the relay (too long). Any thread.
    uint64_t GetDroppedBySocket() const;
    // Voice thread. Sends that the kernel refuses are dropped, as voice is real time;
    // answers how many were.
    size_t SendPacket(const char* data, int length, const Target& to);
    size_t SendPacketToMany(const char* data, int length, const Target* to, size_t count);

private:
    // The endpoint of the user the datagram names, when it is well formed and may speak
    // for that user; otherwise null, counted as malformed or as a stranger's.
    VoiceEndpoint* VoiceOwner(bool wellFormed, int userId, const ACE_INET_Addr& from) const;
    // Ties the user to the datagram's sender and to the local address it was sent to.
    void Bind(VoiceEndpoint& endpoint, const ACE_INET_Addr& from) const;
    // The answer to the current datagram's sender, from where it was sent to.
    Target ReplyTarget(const ACE_INET_Addr& from) const;
    void HandleHello(char* data, int length, const ACE_INET_Addr& from);
    void HandleKeepAlive(char* data, int length, const ACE_INET_Addr& from);
    void RelayAudio(AudioPacket& packet, uint8_t relayedType, int length, const ACE_INET_Addr& from);
    void ForwardAudioPacket(const VoiceEndpoint& sender, int destUserId, const AudioPacket& packet);

    PacketHandler& socket_;
    ServerStatistics& statistics_;
    VoiceRoutes routes_;
    // The receivers of the packet being relayed, the messages of their sends and the
    // control data naming their source addresses (IP_PKTINFO for IPv4, also on a
    // dual-stack socket; IPV6_PKTINFO for IPv6); reused so the voice path does not
    // allocate. The voice thread's alone.
    union SourceControl {
        char bytes[CMSG_SPACE(sizeof(struct in6_pktinfo))];
        struct cmsghdr align;
    };
    std::vector<Target> targets_;
    std::vector<struct mmsghdr> messages_;
    std::vector<SourceControl> controls_;
};

}  // namespace server
}  // namespace quorvane

#endif
