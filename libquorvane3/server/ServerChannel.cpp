#include "server/ServerChannel.h"

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

void ServerChannel::AddUser(int userId, const user_t& user) {
    Channel<ServerChannel, ServerUser>::AddUser(userId, user);
    if (user) voice_->Add(user->GetVoiceEndpoint());
}

void ServerChannel::ClearSettings() {
    static_ = false;
    name_.clear();
    topic_.clear();
    password_.clear();
}

bool ServerChannel::IsPasswordProtected() const { return !password_.empty(); }

void ServerChannel::RemoveUser(int userId) {
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
    users_.erase(userId);
    voice_->Remove(userId);
}

void ServerChannel::AddUserAndNotify(int userId, const user_t& user) {
    if (!user) return;
    AddUser(userId, user);
    // Copy first: a failed send must not disturb the walk. The others all get the same
    // line about the newcomer, built once.
    const std::vector<user_t> members = GetUsers();
    const std::string text = LineWriter::User("adduser", *user);
    const SharedLine line(text);
    for (size_t i = 0; i < members.size(); ++i) {
        user->SendNotice(LineWriter::User("adduser", *members[i]));
        if (members[i]->GetUserID() != userId && !text.empty()) members[i]->SendNotice(line);
    }
}

void ServerChannel::NotifyUserUpdate(const user_t& user) {
    if (!user) return;
    const std::string text = LineWriter::User("updateuser", *user);
    if (text.empty()) return;
    const SharedLine line(text);
    for (users_t::iterator it = users_.begin(); it != users_.end(); ++it) it->second->SendNotice(line);
}

void ServerChannel::SetPassword(const std::string& password) { password_ = password; }

std::string ServerChannel::GetPassword() const { return password_; }

void ServerChannel::SetStaticChannel(bool value) { static_ = value; }

void ServerChannel::DeliverTextMessage(const TextMessage& message) {
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

}  // namespace server
}  // namespace quorvane
