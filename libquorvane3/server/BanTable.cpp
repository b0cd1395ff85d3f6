#include "server/BanTable.h"

#include <ace/OS_NS_sys_time.h>

#include "network/ReactorThread.h"
#include "protocol/ErrorCodes.h"
#include "server/FloodLimits.h"
#include "server/LineWriter.h"
#include "server/SaveRequests.h"
#include "server/ServerChannel.h"
#include "server/ServerStatistics.h"
#include "server/UserRegistry.h"

namespace quorvane {
namespace server {

namespace {

// An IPv6 address (IPv4, mapped or not, stays text); false for any other text.
bool ParseV6(const std::string& text, IpAddress& address) { return IpAddress::Parse(text, address) && !address.IsV4(); }

// "ADDRESS/BITS" of IPv6.
bool ParseV6Network(const std::string& text, IpAddress& network, int& bits) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash + 1 >= text.size() || text.size() - slash > 4) return false;
    bits = 0;
    for (size_t i = slash + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        bits = bits * 10 + (text[i] - '0');
    }
    return bits <= IpAddress::BITS && ParseV6(text.substr(0, slash), network);
}

}  // namespace

void BanTable::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

void BanTable::AddBan(const std::string& address, const BanRecord& ban) {
    AssertLoopThread();
    IpAddress v6;
    const bool isV6 = ParseV6(address, v6);
    const std::string key = isV6 ? v6.Text() : address;
    if (bans_.count(key) == 0) statistics_.Change(ServerStatistics::BANS, 1);
    BanRecord& record = bans_[key] = ban;
    if (!isV6) return;
    record.ipAddress = key;
    v6Bans_.insert(v6);
}

bool BanTable::IsBanned(const std::string& address) const {
    AssertLoopThread();
    if (bans_.count(address) != 0) return true;
    IpAddress v6;
    if (!ParseV6(address, v6)) return false;
    const int bits = limits_.GetIpv6Prefix();
    const IpAddress network = v6.Prefix(bits);
    // The network's addresses sort together, from the network's own address on.
    const std::set<IpAddress>::const_iterator first = v6Bans_.lower_bound(network);
    return first != v6Bans_.end() && first->Prefix(bits) == network;
}

void BanTable::RemoveBan(const std::string& address) {
    AssertLoopThread();
    IpAddress v6;
    const bool isV6 = ParseV6(address, v6);
    if (bans_.erase(isV6 ? v6.Text() : address) == 0) return;
    statistics_.Change(ServerStatistics::BANS, -1);
    if (isV6) v6Bans_.erase(v6);
}

std::vector<std::string> BanTable::BansWithin(const IpAddress& network, int bits) const {
    std::vector<std::string> keys;
    for (std::set<IpAddress>::const_iterator it = v6Bans_.lower_bound(network);
         it != v6Bans_.end() && it->Prefix(bits) == network; ++it)
        keys.push_back(it->Text());
    return keys;
}

BanTable::bans_t BanTable::GetBans() const {
    AssertLoopThread();
    return bans_;
}

int BanTable::UserBan(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_USER_NOT_FOUND;
    BanRecord ban;
    ban.userId = userId;
    ban.nickname = user->GetNickname();
    ban.ipAddress = user->GetPeerIpAddress();
    const serverchannel_t channel = user->GetChannel();
    if (channel) ban.channelPath = channel->GetChannelPath();
    ban.banTime = ACE_OS::gettimeofday();
    AddBan(ban.ipAddress, ban);
    Changed();
    return ERR_SUCCESS;
}

int BanTable::UserUnban(const std::string& address) {
    AssertLoopThread();
    std::vector<std::string> lifted;
    IpAddress v6;
    int bits = limits_.GetIpv6Prefix();
    if (bans_.count(address) != 0) lifted.push_back(address);
    else if (ParseV6(address, v6) || ParseV6Network(address, v6, bits)) lifted = BansWithin(v6.Prefix(bits), bits);
    if (lifted.empty()) return ERR_BAN_NOT_FOUND;
    for (const std::string& key : lifted) RemoveBan(key);
    Changed();
    return ERR_SUCCESS;
}

void BanTable::Changed() { saves_.BansChanged(); }

int BanTable::UserListBans(int userId) {
    AssertLoopThread();
    const serveruser_t user = users_.GetUser(userId);
    if (!user) return ERR_SUCCESS;
    Listing::Lines listing;
    std::map<std::string, BanLine> lines;  // those of bans lifted since go
    for (bans_t::const_iterator it = bans_.begin(); it != bans_.end(); ++it) {
        BanLine& kept = lines_[it->first];
        const BanRecord& ban = it->second;
        const bool current = kept.record.userId == ban.userId && kept.record.nickname == ban.nickname &&
                             kept.record.channelPath == ban.channelPath && kept.record.banTime == ban.banTime;
        Listing::Append(listing, ListingLine::Take(kept.line, current, [&] { return LineWriter::UserBanned(ban); }));
        kept.record = ban;
        lines[it->first] = kept;
    }
    lines_.swap(lines);
    user->SendListing(std::unique_ptr<Listing>(new Listing(std::move(listing))));
    user->SendLine(LineWriter::Done());
    return ERR_SUCCESS;
}

}  // namespace server
}  // namespace quorvane
