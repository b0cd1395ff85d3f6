#include "server/BanTable.h"

#include <ace/OS_NS_sys_time.h>

#include "protocol/ErrorCodes.h"
#include "server/LineWriter.h"
#include "server/ServerNode.h"

namespace quorvane {
namespace server {

void BanTable::AddBan(const std::string& address, const BanRecord& ban) {
    node_.AssertLoopThread();
    if (bans_.count(address) == 0) node_.Statistics().Change(ServerStatistics::BANS, 1);
    bans_[address] = ban;
}

bool BanTable::IsBanned(const std::string& address) const {
    node_.AssertLoopThread();
    return bans_.count(address) != 0;
}

void BanTable::RemoveBan(const std::string& address) {
    node_.AssertLoopThread();
    if (bans_.erase(address) != 0) node_.Statistics().Change(ServerStatistics::BANS, -1);
}

BanTable::bans_t BanTable::GetBans() const {
    node_.AssertLoopThread();
    return bans_;
}

int BanTable::UserBan(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
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
    node_.AssertLoopThread();
    if (!IsBanned(address)) return ERR_BAN_NOT_FOUND;
    RemoveBan(address);
    Changed();
    return ERR_SUCCESS;
}

void BanTable::Changed() {
    if (ServerNodeListener* listener = node_.Listener()) listener->OnBansChanged(node_);
}

int BanTable::UserListBans(int userId) {
    node_.AssertLoopThread();
    const serveruser_t user = node_.Users().GetUser(userId);
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
