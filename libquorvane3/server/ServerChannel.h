// A channel of the running server: adds the password, the quota test, the lines that go
// out to the channel's members, and the lines of listings that describe it and its files
// (shared until what they say changes).
//
// Threads: the main loop's thread, or the host's while no loop runs: the loop its tree is
// confined to (ConfineTo; a sub-channel takes its parent's), checked in debug builds.
#ifndef QUORVANE_SERVER_SERVERCHANNEL_H
#define QUORVANE_SERVER_SERVERCHANNEL_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/Channel.h"
#include "server/ListingLine.h"
#include "server/TextMessage.h"
#include "server/VoiceChannel.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class ServerUser;

class ServerChannel : public Channel<ServerChannel, ServerUser> {
public:
    ServerChannel();
    explicit ServerChannel(const std::string& name);
    ~ServerChannel() override;

    // The loop this channel's state belongs to; a channel given a parent takes the parent's.
    void ConfineTo(ACE_Reactor* loop) { loop_ = loop; }
    // Debug builds abort when called off that loop's thread while it runs.
    void AssertLoopThread() const;

    // Forgets the name, topic, password and static flag; members, sub-channels,
    // operators, files and quota stay.
    void ClearSettings();
    bool IsPasswordProtected() const override;
    // Both keep the channel's voice receivers in step with its members.
    void AddUser(int userId, const user_t& user) override;
    // Tells the other members (ascending id) that the user leaves, then erases it.
    void RemoveUser(int userId) override;
    // Erases the user without a line (its departure is told by DepartureNews).
    void ForgetUser(int userId);
    // The receivers of this channel's voice, for the voice path.
    const std::shared_ptr<VoiceChannel>& GetVoiceChannel() const { return voice_; }

    // Adds the user; it learns of every member (itself included), they learn of it.
    virtual void AddUserAndNotify(int userId, const user_t& user);
    virtual void NotifyUserUpdate(const user_t& user);
    virtual void SetPassword(const std::string& password);
    virtual std::string GetPassword() const;
    virtual void SetStaticChannel(bool value);
    virtual void DeliverTextMessage(const TextMessage& message);
    // Whether a new file of fileSize bytes fits this channel's quota with its own files.
    virtual bool CanAddFile(int64_t fileSize) const;

    // Its "addchannel" line as users, or administrators, see it; and the "addfile" line of
    // its index-th file. Listings taken until the channel (or the file) changes share them.
    listingline_t AddChannelLine(bool forAdmin) const;
    listingline_t AddFileLine(size_t index) const;

    // What its "addchannel" line says changes through these too.
    void SetName(const std::string& name) override;
    void SetParent(const channel_t& parent) override;
    void SetTopic(const std::string& topic) override;
    void SetMaxDiskUsage(int64_t quota) override;
    void SetOperators(const std::set<int>& operators) override;
    void AddOperator(int userId) override;
    void RemoveOperator(int userId, bool recursive) override;
    void AddFile(const ChannelFile& file) override;
    void RemoveFile(const std::string& filename) override;
    void AddSubChannel(const channel_t& channel) override;
    void RemoveSubChannel(const std::string& name) override;

    // Counts every change of what the "addchannel" lines of the tree say, in any channel
    // of the process: a snapshot of them taken at one count holds until the next.
    static uint64_t Generation() { return generation_.load(std::memory_order_relaxed); }

private:
    static std::atomic<uint64_t> generation_;

    // Its "addchannel" lines no longer describe it.
    void Changed();

    ACE_Reactor* loop_ = nullptr;
    std::string password_;
    std::shared_ptr<VoiceChannel> voice_;
    mutable std::weak_ptr<const ListingLine> channelLines_[2];         // for users, for administrators
    mutable std::vector<std::weak_ptr<const ListingLine>> fileLines_;  // by index of files_
};

typedef std::shared_ptr<ServerChannel> serverchannel_t;

}  // namespace server
}  // namespace quorvane

#endif
