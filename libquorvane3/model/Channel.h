// A node of the channel tree: name, topic, members, operators, sub-channels and shared
// files. A channel owns its sub-channels through strong references; its link to the
// parent, and a member's link to its channel, are weak so that dropping a sub-tree
// frees it even while users still point at it.
//
// Channel paths: every name from the root down followed by "/", the root being "/".
// Channel names compare without regard to ASCII letter case; file names exactly.
//
// Not thread safe: the server touches the tree on its main loop's thread only.
#ifndef QUORVANE_MODEL_CHANNEL_H
#define QUORVANE_MODEL_CHANNEL_H

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/ChannelFile.h"

namespace quorvane {

// ASCII-only lower-casing, the rule for channel names.
std::string LowerChannelName(const std::string& text);
// Equal after ASCII-only lowering, without building the lowered copies.
bool ChannelNamesEqual(const std::string& a, const std::string& b);
// The names between "/" characters; empty runs yield nothing.
std::vector<std::string> SplitChannelPath(const std::string& path);
// Same number of names and pairwise equal after lowering: /Lobby/ equals lobby//.
bool ChannelPathsEqual(const std::string& a, const std::string& b);

template <class CHANNEL, class USER>
class Channel {
public:
    typedef std::shared_ptr<CHANNEL> channel_t;
    typedef std::weak_ptr<CHANNEL> weak_channel_t;
    typedef std::shared_ptr<USER> user_t;
    typedef std::map<int, user_t> users_t;
    typedef std::vector<channel_t> channels_t;
    typedef std::vector<ChannelFile> files_t;

    Channel() : static_(false), diskQuota_(0) {}
    explicit Channel(const std::string& name) : static_(false), name_(name), diskQuota_(0) {}

    // Destroying a channel unties its members and its sub-channels from it.
    virtual ~Channel() { Channel::DetachTree(); }

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    virtual void SetParent(const channel_t& parent) { parent_ = parent; }
    virtual channel_t GetParent() const { return parent_.lock(); }
    virtual bool IsRootChannel() const { return !GetParent(); }

    // Unties the members and the whole sub-tree from this channel: members lose their
    // channel link, sub-channels their parent, members and operators are forgotten.
    // Iterative, so neither this nor the release of a deep tree can overflow the stack.
    virtual void DetachTree() {
        channels_t pending;
        pending.swap(subChannels_);
        UntieMembers();
        while (!pending.empty()) {
            const channel_t channel = pending.back();
            pending.pop_back();
            if (!channel) continue;
            Channel& detached = *channel;
            detached.SetParent(channel_t());
            detached.UntieMembers();
            pending.insert(pending.end(), detached.subChannels_.begin(), detached.subChannels_.end());
            detached.subChannels_.clear();
        }
    }

    virtual std::string GetName() const { return name_; }
    virtual void SetName(const std::string& name) { name_ = name; }

    virtual std::string GetChannelPath() const {
        std::string path = name_ + "/";
        for (channel_t p = GetParent(); p; p = p->GetParent()) path = p->GetName() + "/" + path;
        return path;
    }

    // The model has no password; the server's channel has.
    virtual bool IsPasswordProtected() const { return false; }

    virtual void SetTopic(const std::string& topic) { topic_ = topic; }
    virtual std::string GetTopic() const { return topic_; }

    virtual void AddUser(int userId, const user_t& user) { users_[userId] = user; }
    virtual void RemoveUser(int userId) { users_.erase(userId); }
    virtual int GetUsersCount() const { return static_cast<int>(users_.size()); }
    virtual std::vector<user_t> GetUsers() const {
        std::vector<user_t> result;
        result.reserve(users_.size());
        for (typename users_t::const_iterator it = users_.begin(); it != users_.end(); ++it)
            result.push_back(it->second);
        return result;
    }

    virtual void SetOperators(const std::set<int>& operators) {
        if (&operators != &operators_) operators_ = operators;
    }
    virtual void AddOperator(int userId) { operators_.insert(userId); }
    virtual bool IsOperator(int userId) const { return operators_.count(userId) != 0; }
    virtual void RemoveOperator(int userId, bool recursive) {
        operators_.erase(userId);
        if (!recursive) return;
        for (size_t i = 0; i < subChannels_.size(); ++i) subChannels_[i]->RemoveOperator(userId, false);
    }
    virtual const std::set<int>& GetOperators() const { return operators_; }

    virtual user_t GetUser(int userId, bool recursive) const {
        typename users_t::const_iterator it = users_.find(userId);
        if (it != users_.end()) return it->second;
        if (recursive) {
            for (size_t i = 0; i < subChannels_.size(); ++i) {
                user_t user = subChannels_[i]->GetUser(userId, true);
                if (user) return user;
            }
        }
        return user_t();
    }
    virtual bool UserExists(int userId) const { return users_.count(userId) != 0; }

    virtual bool SameChannel(const channel_t& other) const {
        if (!other) return false;
        return LowerChannelName(GetChannelPath()) == LowerChannelName(other->GetChannelPath());
    }

    virtual bool IsStaticChannel() const { return static_; }

    virtual void AddSubChannel(const channel_t& channel) {
        if (channel) subChannels_.push_back(channel);
    }
    virtual void RemoveSubChannel(const std::string& name) {
        for (typename channels_t::iterator it = subChannels_.begin(); it != subChannels_.end(); ++it) {
            if (ChannelNamesEqual(static_cast<const Channel&>(**it).name_, name)) {
                subChannels_.erase(it);
                return;
            }
        }
    }
    virtual int GetSubChannelsCount() const { return static_cast<int>(subChannels_.size()); }
    virtual channel_t GetSubChannel(const std::string& name) const {
        for (size_t i = 0; i < subChannels_.size(); ++i)
            if (ChannelNamesEqual(static_cast<const Channel&>(*subChannels_[i]).name_, name)) return subChannels_[i];
        return channel_t();
    }
    virtual channels_t GetSubChannels() const { return subChannels_; }

    virtual void SetMaxDiskUsage(int64_t quota) { diskQuota_ = quota; }
    virtual int64_t GetMaxDiskUsage() const { return diskQuota_; }

    virtual void AddFile(const ChannelFile& file) { files_.push_back(file); }
    virtual void RemoveFile(const std::string& filename) {
        for (typename files_t::iterator it = files_.begin(); it != files_.end();) {
            if (it->filename == filename) it = files_.erase(it);
            else ++it;
        }
    }
    virtual bool FileExists(const std::string& filename) const {
        ChannelFile ignored;
        return GetFile(filename, ignored);
    }
    // Depth first through the sub-channels whatever the flag.
    virtual bool GetFileByID(int fileId, ChannelFile& out, bool recursive) const {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (files_[i].fileId == fileId) {
                out = files_[i];
                return true;
            }
        }
        for (size_t i = 0; i < subChannels_.size(); ++i)
            if (subChannels_[i]->GetFileByID(fileId, out, recursive)) return true;
        return false;
    }
    virtual bool GetFile(const std::string& filename, ChannelFile& out) const {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (files_[i].filename == filename) {
                out = files_[i];
                return true;
            }
        }
        return false;
    }
    virtual const files_t& GetFiles() const { return files_; }

protected:
    void UntieMembers() {
        for (typename users_t::iterator it = users_.begin(); it != users_.end(); ++it)
            if (it->second) it->second->SetChannel(channel_t());
        users_.clear();
        operators_.clear();
    }

    bool static_;
    std::string name_;
    std::string topic_;
    users_t users_;
    channels_t subChannels_;
    std::set<int> operators_;
    weak_channel_t parent_;
    int64_t diskQuota_;
    files_t files_;
};

// Resolves a path from the root; a path without names is the root itself.
template <class CHANNEL>
std::shared_ptr<CHANNEL> FindChannelByPath(const std::shared_ptr<CHANNEL>& root, const std::string& path) {
    std::shared_ptr<CHANNEL> channel = root;
    const std::vector<std::string> names = SplitChannelPath(path);
    for (size_t i = 0; i < names.size() && channel; ++i) channel = channel->GetSubChannel(names[i]);
    return channel;
}

}  // namespace quorvane

#endif
