#include "server/ServerUser.h"

#include "network/ReactorThread.h"
#include "network/SharedLine.h"
#include "network/StreamHandler.h"
#include "server/CommandRunner.h"
#include "server/DepartureFeed.h"
#include "server/LineWriter.h"
#include "server/OutputPolicy.h"
#include "server/ServerChannel.h"
#include "server/ServerStatistics.h"
#include "server/UserEvents.h"
#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

namespace {

// The voice endpoint of a connection, with the IP address (and for a link-local IPv6
// one, the interface) it comes from; unspecified when it has none.
voiceendpoint_t MakeEndpoint(int userId, StreamHandler* connection) {
    sockaddr_in6 peer;
    socklen_t size = sizeof peer;
    IpAddress address;
    uint32_t scope = 0;
    if (connection && getpeername(connection->get_handle(), reinterpret_cast<sockaddr*>(&peer), &size) == 0)
        IpAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&peer), size, address, &scope);
    return std::make_shared<VoiceEndpoint>(userId, address, scope);
}

}  // namespace

ServerUser::ServerUser(int userId, const UserLinks& links, StreamHandler* connection)
    : User(userId),
      links_(&links),
      handler_(connection),
      voice_(MakeEndpoint(userId, connection)),
      heardUpTo_(links.departures.End()),
      reader_(*this, links.commandRate, links.commands),
      transfer_(*this, links.transfers, links.statistics),
      connection_(*this) {}

ServerUser::~ServerUser() = default;

void ServerUser::AssertLoopThread() const {
    if (links_) ReactorThread::AssertLoopThread(links_->loop);
}

int ServerUser::GetIdleSeconds() const {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - lastActivity_).count());
}

serverchannel_t ServerUser::GetChannel() const { return channel_.lock(); }

void ServerUser::SetChannel(const serverchannel_t& channel) {
    AssertLoopThread();
    HearDepartures();  // of the channel it was in
    channel_ = channel;
    voice_->SetChannel(channel ? channel->GetVoiceChannel() : std::shared_ptr<VoiceChannel>());
}

void ServerUser::SetLeftChannel(const serverchannel_t& channel) { leftChannel_ = channel; }

serverchannel_t ServerUser::TakeLeftChannel() {
    serverchannel_t channel = leftChannel_.lock();
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
    AssertLoopThread();
    const bool counted = Counted(), wasAdmin = loggedIn_ && admin_;
    loggedIn_ = loggedIn;
    admin_ = admin;
    if (!links_) return;
    if (counted != Counted()) links_->statistics.Change(ServerStatistics::USERS, counted ? -1 : 1);
    if (wasAdmin != (loggedIn_ && admin_)) links_->statistics.Change(ServerStatistics::ADMINS, wasAdmin ? -1 : 1);
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
    if (!handler_ || voice_->GetTcpAddress().IsUnspecified()) return false;
    address = voice_->GetTcpAddress();
    return true;
}

std::string ServerUser::GetPeerIpAddress() const {
    IpAddress address;
    return GetPeerAddress(address) ? address.Text() : "0.0.0.0";
}

void ServerUser::Disconnect() {
    AssertLoopThread();
    if (!handler_) return;
    voice_->ClearAddress();
    SetLoggedIn(false);
    handler_->close();
}

void ServerUser::DisconnectWithError(int code) {
    AssertLoopThread();
    if (!handler_) return;
    SendError(code);
    voice_->ClearAddress();
    SetLoggedIn(false);
    handler_->CloseAfterWrite();
}

void ServerUser::Kick() {
    SetLoggedIn(false);
    Disconnect();
}

void ServerUser::Detach() {
    if (handler_) handler_->SetListener(0);
    handler_ = nullptr;
    SetFlags(false, false);
    links_ = nullptr;
}

void ServerUser::ConnectionClosed() {
    AssertLoopThread();
    handler_ = nullptr;
    if (links_) links_->events.UserDisconnected(GetUserID());
}

void ServerUser::RunCommand(const std::string& line, bool& keepOpen) {
    AssertLoopThread();
    if (!links_) return;
    inCommand_ = true;
    links_->commands.Run(*this, line, keepOpen);
    inCommand_ = false;
}

void ServerUser::FinishHeldCommand(const std::string& answer) {
    const bool running = inCommand_;
    inCommand_ = true;
    SendLine(answer);
    inCommand_ = running;
    reader_.Release();
    if (handler_) handler_->ContinueInput();
}

void ServerUser::HearDepartures() {
    if (links_ && heardUpTo_ < links_->departures.End()) links_->departures.CatchUp(*this);
}

int ServerUser::SendLine(const std::string& line) {
    AssertLoopThread();
    HearDepartures();
    return Sent(lagging_ ? StreamHandler::SEND_CLOSED : WriteLine(line));
}

int ServerUser::SendShared(const SharedLine& line) {
    AssertLoopThread();
    HearDepartures();
    return Sent(lagging_ ? StreamHandler::SEND_CLOSED : WriteShared(line));
}

int ServerUser::WriteLine(const std::string& line) {
    return handler_ ? handler_->Send(line.data(), line.size(), inCommand_) : StreamHandler::SEND_CLOSED;
}

int ServerUser::WriteShared(const SharedLine& line) {
    return handler_ ? handler_->SendShared(line, inCommand_) : StreamHandler::SEND_CLOSED;
}

int ServerUser::SendListing(std::unique_ptr<Listing> listing) {
    AssertLoopThread();
    HearDepartures();
    if (listing->GetLines().empty()) return 0;
    return Sent(lagging_ ? StreamHandler::SEND_CLOSED : WriteListing(std::move(listing)));
}

int ServerUser::WriteListing(std::unique_ptr<Listing> listing) {
    return handler_ ? handler_->SendSource(std::move(listing)) : StreamHandler::SEND_CLOSED;
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

int ServerUser::Sent(int result) {
    if (links_ && links_->output.Judge(result) == OutputPolicy::LAGGING) CloseAsLagging();
    return result;
}

// It hears nothing from now on, and its close (on a later turn of the loop) takes it out of
// its channel with the usual notices.
void ServerUser::CloseAsLagging() {
    AssertLoopThread();
    if (lagging_) return;
    lagging_ = true;
    SetLoggedIn(false);
    SetAdmin(false);
    if (links_) links_->events.UserLagging(GetUserID());
    if (handler_) handler_->CloseLater();
}

}  // namespace server
}  // namespace quorvane
