#include "server/ServerChannel.h"

#include "network/ReactorThread.h"
#include "network/SharedLine.h"
#include "server/LineWriter.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

ServerChannel::ServerChannel() : voice_(std::make_shared<VoiceChannel>()) {}

ServerChannel::ServerChannel(const std::string& name)
    : Channel<ServerChannel, ServerUser>(name), voice_(std::make_shared<VoiceChannel>()) {}

// Members' endpoints may still name this channel's receivers: leave them an empty list.
ServerChannel::~ServerChannel() { voice_->Clear(); }

void ServerChannel::AssertLoopThread() const { ReactorThread::AssertLoopThread(loop_); }

void ServerChannel::AddUser(int userId, const user_t& user) {
    AssertLoopThread();
    Channel<ServerChannel, ServerUser>::AddUser(userId, user);
    Changed();
    if (user) voice_->Add(user->GetVoiceEndpoint());
}

void ServerChannel::ClearSettings() {
    static_ = false;
    name_.clear();
    topic_.clear();
    password_.clear();
    Changed();
}

bool ServerChannel::IsPasswordProtected() const { return !password_.empty(); }

void ServerChannel::RemoveUser(int userId) {
    AssertLoopThread();
    users_t::iterator leaving = users_.find(userId);
    if (leaving == users_.end()) return;
    const user_t user = leaving->second;
    const std::string text = user ? LineWriter::RemoveUser(*user) : std::string();
    if (!text.empty()) {
        const SharedLine line(text);
        for (users_t::iterator it = users_.begin(); it != users_.end(); ++it)
            if (it->first != userId) it->second->SendNotice(line);
    }
    ForgetUser(userId);
}

void ServerChannel::ForgetUser(int userId) {
    AssertLoopThread();
    users_.erase(userId);
    voice_->Remove(userId);
    Changed();
}

void ServerChannel::AddUserAndNotify(int userId, const user_t& user) {
    if (!user) return;
    AddUser(userId, user);
    // Copy first: a failed send must not disturb the walk. The newcomer's members come as
    // one listing; the others all get the same line about the newcomer, built once.
    const std::vector<user_t> members = GetUsers();
    const std::string text = LineWriter::User("adduser", *user);
    const SharedLine line(text);
    Listing::Lines lines;
    for (size_t i = 0; i < members.size(); ++i) Listing::Append(lines, members[i]->AddUserLine());
    if (user->IsLoggedIn()) user->SendListing(std::unique_ptr<Listing>(new Listing(std::move(lines))));
    for (size_t i = 0; i < members.size(); ++i)
        if (members[i]->GetUserID() != userId && !text.empty()) members[i]->SendNotice(line);
}

void ServerChannel::NotifyUserUpdate(const user_t& user) {
    AssertLoopThread();
    if (!user) return;
    const std::string text = LineWriter::User("updateuser", *user);
    if (text.empty()) return;
    const SharedLine line(text);
    for (users_t::iterator it = users_.begin(); it != users_.end(); ++it) it->second->SendNotice(line);
}

void ServerChannel::SetPassword(const std::string& password) {
    password_ = password;
    Changed();
}

std::string ServerChannel::GetPassword() const { return password_; }

void ServerChannel::SetStaticChannel(bool value) {
    static_ = value;
    Changed();
}

void ServerChannel::DeliverTextMessage(const TextMessage& message) {
    AssertLoopThread();
    const std::string line = LineWriter::MessageDeliver(message);
    for (users_t::iterator it = users_.begin(); it != users_.end(); ++it) it->second->SendNotice(line);
}

bool ServerChannel::CanAddFile(int64_t fileSize) const {
    // Sizes come from clients: an overflowing sum must refuse, not wrap.
    int64_t total = fileSize;
    for (size_t i = 0; i < files_.size(); ++i)
        if (__builtin_add_overflow(total, files_[i].filesize, &total)) return false;
    return total <= diskQuota_;
}

std::atomic<uint64_t> ServerChannel::generation_(0);

void ServerChannel::Changed() {
    AssertLoopThread();
    for (std::weak_ptr<const ListingLine>& line : channelLines_) ListingLine::Forget(line);
    generation_.fetch_add(1, std::memory_order_relaxed);
}

void ServerChannel::AddSubChannel(const channel_t& channel) {
    AssertLoopThread();
    Channel<ServerChannel, ServerUser>::AddSubChannel(channel);
    generation_.fetch_add(1, std::memory_order_relaxed);
}

void ServerChannel::RemoveSubChannel(const std::string& name) {
    AssertLoopThread();
    Channel<ServerChannel, ServerUser>::RemoveSubChannel(name);
    generation_.fetch_add(1, std::memory_order_relaxed);
}

listingline_t ServerChannel::AddChannelLine(bool forAdmin) const {
    return ListingLine::Take(channelLines_[forAdmin ? 1 : 0], true,
                             [&] { return LineWriter::Channel("addchannel", *this, forAdmin); });
}

listingline_t ServerChannel::AddFileLine(size_t index) const {
    fileLines_.resize(files_.size());
    return ListingLine::Take(fileLines_[index], true, [&] { return LineWriter::AddFile(files_[index], *this); });
}

void ServerChannel::SetName(const std::string& name) {
    Channel<ServerChannel, ServerUser>::SetName(name);
    Changed();
}

void ServerChannel::SetParent(const channel_t& parent) {
    if (parent) loop_ = parent->loop_;
    Channel<ServerChannel, ServerUser>::SetParent(parent);
    Changed();
}

void ServerChannel::SetTopic(const std::string& topic) {
    Channel<ServerChannel, ServerUser>::SetTopic(topic);
    Changed();
}

void ServerChannel::SetMaxDiskUsage(int64_t quota) {
    Channel<ServerChannel, ServerUser>::SetMaxDiskUsage(quota);
    Changed();
}

void ServerChannel::SetOperators(const std::set<int>& operators) {
    Channel<ServerChannel, ServerUser>::SetOperators(operators);
    Changed();
}

void ServerChannel::AddOperator(int userId) {
    Channel<ServerChannel, ServerUser>::AddOperator(userId);
    Changed();
}

void ServerChannel::RemoveOperator(int userId, bool recursive) {
    Channel<ServerChannel, ServerUser>::RemoveOperator(userId, recursive);
    Changed();
}

void ServerChannel::AddFile(const ChannelFile& file) {
    AssertLoopThread();
    fileLines_.resize(files_.size());
    Channel<ServerChannel, ServerUser>::AddFile(file);
    fileLines_.emplace_back();
}

void ServerChannel::RemoveFile(const std::string& filename) {
    AssertLoopThread();
    fileLines_.resize(files_.size());
    for (size_t i = files_.size(); i-- > 0;) {
        if (files_[i].filename != filename) continue;
        files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(i));
        ListingLine::Forget(fileLines_[i]);
        fileLines_.erase(fileLines_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace server
}  // namespace quorvane
