// The server's object for one TCP connection: the user record plus its login state, the
// channel it is in, its operator rights and inactivity counter, and the send path of
// every line it receives. What arrives on the connection goes to its CommandReader
// (command lines) or to its TransferSession (file data).
//
// Threads: the main loop's thread (checked in debug builds), except what the voice
// endpoint holds (the voice address, packet protocol and logged-in flag), which the voice
// thread reads and updates through its atomics.
// Lifetime: owned by the node's user registry through a shared_ptr. The stream
// callbacks hold a strong reference to the user while they run, so a command that ends
// its own connection cannot free it under them.
#ifndef QUORVANE_SERVER_SERVERUSER_H
#define QUORVANE_SERVER_SERVERUSER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ace/INET_Addr.h>

#include "model/User.h"
#include "server/CommandReader.h"
#include "server/Listing.h"
#include "server/TransferSession.h"
#include "server/UserConnection.h"
#include "server/UserLinks.h"
#include "server/VoiceEndpoint.h"

class SharedLine;
class StreamHandler;

namespace quorvane {
namespace server {

class ServerChannel;
typedef std::shared_ptr<ServerChannel> serverchannel_t;

class ServerUser : public User, public std::enable_shared_from_this<ServerUser> {
public:
    // connection: the handler of its command connection (null for none); its peer's
    // address is read once, here.
    ServerUser(int userId, const UserLinks& links, StreamHandler* connection);
    ~ServerUser() override;

    // Whether the user still belongs to its server (Detach lets it go).
    bool IsAttached() const { return links_ != nullptr; }
    // Debug builds abort when called off the main loop's thread while that loop runs.
    void AssertLoopThread() const;

    bool IsLoggedIn() const { return loggedIn_; }
    // Also tells the voice path, which relays only from and to logged-in users.
    void SetLoggedIn(bool value);
    bool IsAdmin() const { return admin_; }
    void SetAdmin(bool value);

    // The voice address and packet protocol live in the voice endpoint.
    bool IsUdpConnected() const { return voice_->HasAddress(); }
    void SetUdpAddress(const ACE_INET_Addr& address);
    ACE_INET_Addr GetUdpAddress() const;
    void SetPacketProtocol(int protocol) { voice_->SetPacketProtocol(protocol); }
    int GetPacketProtocol() const { return voice_->GetPacketProtocol(); }
    const voiceendpoint_t& GetVoiceEndpoint() const { return voice_; }
    // Text of the voice address's IP ("0.0.0.0" before the first hello): dotted IPv4, or
    // IPv6 in its compressed form; an IPv4 client on the dual-stack socket is plain IPv4.
    // What the lines about the user show.
    std::string GetIpAddress() const;
    // The IP address of the client's end of this user's command connection; false once
    // the connection closed.
    bool GetPeerAddress(IpAddress& address) const;
    // The same as text ("0.0.0.0" when unknown): what bans and the loopback trust are
    // judged by, as voice for this user is taken only from there too.
    std::string GetPeerIpAddress() const;

    int GetInactiveSeconds() const { return inactiveSeconds_; }
    void SetInactiveSeconds(int value) { inactiveSeconds_ = value; }
    // Seconds since the connection's last command other than ping (which clients send by
    // themselves to keep the connection), or since it connected.
    int GetIdleSeconds() const;
    void NoteActivity() { lastActivity_ = std::chrono::steady_clock::now(); }
    void SetClientProtocol(const std::string& protocol) { clientProtocol_ = protocol; }
    std::string GetClientProtocol() const { return clientProtocol_; }

    serverchannel_t GetChannel() const;
    void SetChannel(const serverchannel_t& channel);
    // The channel this user left with "leave": it no longer hears it, but an emptied
    // non-static channel is still removed at the user's next join or disconnection.
    void SetLeftChannel(const serverchannel_t& channel);
    serverchannel_t TakeLeftChannel();
    // The channels this user was made operator of, for the disconnection to revoke.
    void AddOperatorChannel(const serverchannel_t& channel);
    std::vector<serverchannel_t> TakeOperatorChannels();

    // How far this user heard the news of departures (see DepartureNews).
    uint64_t HeardUpTo() const { return heardUpTo_; }
    void SetHeardUpTo(uint64_t position) { heardUpTo_ = position; }

    // The file transfer this connection carries (the data phase of a second connection).
    TransferSession& Transfer() { return transfer_; }
    const TransferSession& Transfer() const { return transfer_; }

    // Closes the connection if it is still open; the close comes back through
    // OnStreamClosed and the node's UserDisconnected (at once, or once the callback on
    // the connection's stack has returned).
    void Disconnect();
    // Sends the error, then closes the connection once the socket took what it could of it.
    void DisconnectWithError(int code);
    // Logs the user out and closes its connection (a kick; a removed channel's members).
    void Kick();
    // Unties the user from its connection and its server without any callback; used
    // when the node goes away while a close is still pending.
    void Detach();
    // The connection's handler; null once it is gone.
    StreamHandler* FindStreamHandler() const { return handler_; }

    // What listens to the connection's handler.
    UserConnection& Connection() { return connection_; }

    // Handles one command line (its LF included) as this user's own command: lines sent
    // meanwhile are its replies. Clears keepOpen on quit.
    void RunCommand(const std::string& line, bool& keepOpen);
    // For a command whose answer comes once other work is done: HoldInput while it runs
    // keeps the connection's later commands waiting (see CommandReader::Hold);
    // FinishHeldCommand sends the answer as that command's reply and lets them go on.
    void HoldInput() { reader_.Hold(); }
    void FinishHeldCommand(const std::string& answer);
    // The command that runs queued these bytes of copies for others (see CommandReader).
    void ChargeFanOut(size_t bytes) { reader_.ChargeFanOut(bytes); }

    // The send path of every line. The departures this user has not heard go first. A
    // line to the user whose command is running is a reply and may go past the output's
    // high water mark; any other line that finds the output full closes the connection as
    // lagging (the close runs on a later turn, so a broadcast walking the users is not
    // disturbed). Negative when not queued.
    int SendLine(const std::string& line);
    // The same for a line queued by reference on many connections (broadcasts).
    int SendShared(const SharedLine& line);
    // Lines about other users and channels: sent only while this user is logged in, and
    // nothing when the text is empty.
    void SendNotice(const std::string& line);
    void SendNotice(const SharedLine& line);
    void SendError(int code);
    // A long reply (a listing): the connection makes it as it drains, and every line sent
    // to this user afterwards waits behind it and counts against its output as usual.
    int SendListing(std::unique_ptr<Listing> listing);

    // Its "adduser" line, shared by the listings taken until the user changes; null while
    // it is in no channel.
    listingline_t AddUserLine();

    // Whether it was closed as lagging (it hears nothing more).
    bool IsLagging() const { return lagging_; }
    // Treats the user as lagging: it hears nothing more, is logged out, and its connection
    // closes on a later turn.
    void CloseAsLagging();

protected:
    // Where the send path writes: StreamHandler's answer (SEND_FULL, SEND_CLOSED, or
    // queued), which OutputPolicy judges. Tests record instead.
    virtual int WriteLine(const std::string& line);
    virtual int WriteShared(const SharedLine& line);
    virtual int WriteListing(std::unique_ptr<Listing> listing);

private:
    friend class UserConnection;  // feeds the reader and the transfer

    // The connection has closed: forgets its handler and tells the server.
    void ConnectionClosed();
    // What OutputPolicy makes of a send's result: the user may be lagging now.
    int Sent(int result);
    // Before any line and any change of channel: the departures this user has not heard.
    void HearDepartures();
    // Logged-in users other than administrators count against the user limit; the
    // statistics keep their number as the flags change.
    bool Counted() const { return loggedIn_ && !admin_; }
    void SetFlags(bool loggedIn, bool admin);

    const UserLinks* links_;  // null once detached
    bool loggedIn_ = false;
    bool admin_ = false;
    StreamHandler* handler_;  // the command connection's; null once closed
    std::string clientProtocol_;
    voiceendpoint_t voice_;
    int inactiveSeconds_ = 0;
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
    uint64_t heardUpTo_ = 0;
    std::weak_ptr<ServerChannel> channel_;
    std::weak_ptr<ServerChannel> leftChannel_;
    std::vector<std::weak_ptr<ServerChannel>> operatorOf_;
    bool inCommand_ = false;  // this user's own command is running: lines are replies
    bool lagging_ = false;
    // Its "adduser" line, and what it was built from. The user keeps the line itself too:
    // every join lists each member of the channel, and a line that only listings held
    // would be built again for each of them (a join storm's thousands of lines per join).
    std::weak_ptr<const ListingLine> addUserLine_;
    listingline_t addUserLineKept_;
    struct LineSource {
        uint64_t changes, address;
        const ServerChannel* channel;
        int protocol;
        bool operator==(const LineSource& other) const {
            return changes == other.changes && address == other.address && channel == other.channel &&
                   protocol == other.protocol;
        }
    } addUserSource_{};
    CommandReader reader_;
    TransferSession transfer_;
    UserConnection connection_;
};

typedef std::shared_ptr<ServerUser> serveruser_t;

}  // namespace server
}  // namespace quorvane

#endif
