#include "server/ServerUser.h"

#include <ace/Reactor.h>

#include "network/SharedLine.h"
#include "network/StreamHandler.h"
#include "server/CommandTable.h"
#include "server/LineWriter.h"
#include "server/ServerChannel.h"
#include "server/ServerNode.h"
#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

namespace {

// The voice endpoint of a connection, with the IP address (and for a link-local IPv6
// one, the interface) it comes from; unspecified when it has none.
voiceendpoint_t MakeEndpoint(int userId, ACE_HANDLE connection) {
    sockaddr_in6 peer;
    socklen_t size = sizeof peer;
    IpAddress address;
    uint32_t scope = 0;
    if (connection != ACE_INVALID_HANDLE && getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &size) == 0)
        IpAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&peer), size, address, &scope);
    return std::make_shared<VoiceEndpoint>(userId, address, scope);
}

}  // namespace

ServerUser::ServerUser(int userId, ServerNode* owner, ACE_HANDLE connection)
    : User(userId),
      owner_(owner),
      handle_(connection),
      voice_(MakeEndpoint(userId, connection)),
      heardUpTo_(owner ? owner->Departures().End() : 0),
      reader_(*this),
      transfer_(*this),
      connection_(*this) {}

ServerUser::~ServerUser() = default;

int ServerUser::GetIdleSeconds() const {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - lastActivity_).count());
}

serverchannel_t ServerUser::GetChannel() const { return channel_.lock(); }

void ServerUser::SetChannel(const serverchannel_t& channel) {
    HearDepartures();  // of the channel it was in
    channel_ = channel;
    voice_->SetChannel(channel ? channel->GetVoiceChannel() : std::shared_ptr<VoiceChannel>());
}

void ServerUser::SetLeftChannel(const serverchannel_t& channel) { leftChannel_ = channel; }

serverchannel_t ServerUser::TakeLeftChannel() {
    const serverchannel_t channel = leftChannel_.lock();
    leftChannel_.reset();
    return channel;
}

void ServerUser::AddOperatorChannel(const serverchannel_t& channel) {
    for (size_t i = 0; i < operatorOf_.size(); ++i)
        if (operatorOf_[i].lock() == channel) return;
    operatorOf_.push_back(channel);
}

std::vector<serverchannel_t> ServerUser::TakeOperatorChannels() {
    std::vector<serverchannel_t> channels;
    for (size_t i = 0; i < operatorOf_.size(); ++i)
        if (const serverchannel_t channel = operatorOf_[i].lock()) channels.push_back(channel);
    operatorOf_.clear();
    return channels;
}

void ServerUser::SetLoggedIn(bool value) {
    SetFlags(value, admin_);
    voice_->SetLoggedIn(value);
}

void ServerUser::SetAdmin(bool value) { SetFlags(loggedIn_, value); }

void ServerUser::SetFlags(bool loggedIn, bool admin) {
    const bool counted = Counted(), wasAdmin = loggedIn_ && admin_;
    loggedIn_ = loggedIn;
    admin_ = admin;
    if (!owner_) return;
    if (counted != Counted()) owner_->Users().CountUser(counted ? -1 : 1);
    if (wasAdmin != (loggedIn_ && admin_)) owner_->Statistics().Change(ServerStatistics::ADMINS, wasAdmin ? -1 : 1);
}

void ServerUser::SetUdpAddress(const ACE_INET_Addr& address) {
    IpAddress ip;
    if (IpAddress::FromAce(address, ip)) voice_->SetAddress(ip, address.get_port_number());
}

ACE_INET_Addr ServerUser::GetUdpAddress() const {
    IpAddress ip;
    uint16_t port = 0;
    SocketAddress address;
    ACE_INET_Addr result(static_cast<u_short>(0), static_cast<ACE_UINT32>(INADDR_ANY));
    if (voice_->GetAddress(ip, port) && address.Set(ip.IsV4() ? AF_INET : AF_INET6, ip, port))
        result.set(reinterpret_cast<const sockaddr_in*>(&address.v6), static_cast<int>(address.length));
    return result;
}

std::string ServerUser::GetIpAddress() const {
    IpAddress ip;
    uint16_t port = 0;
    return voice_->GetAddress(ip, port) ? ip.Text() : "0.0.0.0";
}

// Read once, when the connection came (the voice endpoint keeps it), not per call.
bool ServerUser::GetPeerAddress(IpAddress& address) const {
    if (handle_ == 0 || handle_ == ACE_INVALID_HANDLE || voice_->GetTcpAddress().IsUnspecified()) return false;
    address = voice_->GetTcpAddress();
    return true;
}

std::string ServerUser::GetPeerIpAddress() const {
    IpAddress address;
    return GetPeerAddress(address) ? address.Text() : "0.0.0.0";
}

// Looked up in the reactor once and kept: a broadcast to thousands of users would
// otherwise pay the reactor's lock and lookup per receiver. The handler tells us before it
// goes (OnStreamClosed), and Detach forgets it.
StreamHandler* ServerUser::FindStreamHandler() const {
    if (handle_ == 0 || handle_ == ACE_INVALID_HANDLE || !owner_) return 0;
    if (StreamHandler* known = stream_.load(std::memory_order_relaxed)) return known;
    ACE_Reactor* reactor = owner_->GetReactor();
    ACE_Event_Handler* handler = 0;
    // Any mask: a connection whose input waits is registered for no event at the time.
    if (!reactor || reactor->handler(handle_, ACE_Event_Handler::NULL_MASK, &handler) != 0 || !handler) return 0;
    // The lookup adds a reference when the handler counts them; we only use the
    // pointer on this thread, where the handler cannot go away under us.
    handler->remove_reference();
    StreamHandler* const stream = dynamic_cast<StreamHandler*>(handler);
    stream_.store(stream, std::memory_order_relaxed);
    return stream;
}

void ServerUser::Disconnect() {
    StreamHandler* handler = FindStreamHandler();
    if (!handler) return;
    voice_->ClearAddress();
    SetLoggedIn(false);
    handler->close();
}

void ServerUser::DisconnectWithError(int code) {
    StreamHandler* handler = FindStreamHandler();
    if (!handler) return;
    SendError(code);
    voice_->ClearAddress();
    SetLoggedIn(false);
    handler->CloseAfterWrite();
}

void ServerUser::Detach() {
    StreamHandler* handler = FindStreamHandler();
    if (handler) handler->SetListener(0);
    stream_.store(0, std::memory_order_relaxed);
    handle_ = 0;
    SetFlags(false, false);
    owner_ = 0;
}

void ServerUser::ConnectionClosed() {
    stream_.store(0, std::memory_order_relaxed);
    handle_ = 0;
    if (owner_) owner_->Sessions().UserDisconnected(GetUserID());
}

void ServerUser::RunCommand(const std::string& line, bool& keepOpen) {
    inCommand_ = true;
    CommandTable::Dispatch(*this, line, keepOpen);
    inCommand_ = false;
}

void ServerUser::FinishHeldCommand(const std::string& answer) {
    const bool running = inCommand_;
    inCommand_ = true;
    SendLine(answer);
    inCommand_ = running;
    reader_.Release();
    if (StreamHandler* handler = FindStreamHandler()) handler->ContinueInput();
}

void ServerUser::HearDepartures() {
    if (owner_ && heardUpTo_ < owner_->Departures().End()) owner_->Departures().CatchUp(*this);
}

int ServerUser::SendLine(const std::string& line) {
    HearDepartures();
    return WriteLine(line);
}

int ServerUser::SendShared(const SharedLine& line) {
    HearDepartures();
    return WriteShared(line);
}

int ServerUser::WriteLine(const std::string& line) {
    StreamHandler* handler = !lagging_ ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->Send(line.data(), line.size(), inCommand_) : StreamHandler::SEND_CLOSED);
}

int ServerUser::WriteShared(const SharedLine& line) {
    StreamHandler* handler = !lagging_ ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->SendShared(line, inCommand_) : StreamHandler::SEND_CLOSED);
}

int ServerUser::SendListing(std::unique_ptr<Listing> listing) {
    HearDepartures();
    return listing->GetLines().empty() ? 0 : WriteListing(std::move(listing));
}

int ServerUser::WriteListing(std::unique_ptr<Listing> listing) {
    StreamHandler* handler = !lagging_ ? FindStreamHandler() : 0;
    return CheckSent(handler ? handler->SendSource(std::move(listing)) : StreamHandler::SEND_CLOSED);
}

listingline_t ServerUser::AddUserLine() {
    const serverchannel_t channel = GetChannel();
    const LineSource source{GetChanges(), voice_->GetAddressKey(), channel.get(), voice_->GetPacketProtocol()};
    const bool current = source == addUserSource_;
    addUserSource_ = source;
    addUserLineKept_ = ListingLine::Take(addUserLine_, current, [this] { return LineWriter::User("adduser", *this); });
    return addUserLineKept_;
}

void ServerUser::SendNotice(const std::string& line) {
    if (loggedIn_ && !line.empty()) SendLine(line);
}

void ServerUser::SendNotice(const SharedLine& line) {
    if (loggedIn_) SendShared(line);
}

void ServerUser::SendError(int code) { SendLine(LineWriter::Error(code)); }

// A connection that cannot take a line any more is closed rather than left half served:
// it hears nothing from now on, and its close (on a later turn of the loop) takes it out
// of its channel with the usual notices.
int ServerUser::CheckSent(int result) {
    if (result == StreamHandler::SEND_FULL) CloseAsLagging();
    else if (result >= 0 && owner_) owner_->Output().Queued();
    return result;
}

void ServerUser::CloseAsLagging() {
    if (lagging_) return;
    lagging_ = true;
    SetLoggedIn(false);
    SetAdmin(false);
    if (owner_) owner_->Sessions().UserLagging(GetUserID());
    if (StreamHandler* handler = FindStreamHandler()) handler->CloseLater();
}

}  // namespace server
}  // namespace quorvane
