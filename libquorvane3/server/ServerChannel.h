// A channel of the running server: adds the password, the quota test and the lines
// that go out to the channel's members. Main loop's thread only.
#ifndef QUORVANE_SERVER_SERVERCHANNEL_H
#define QUORVANE_SERVER_SERVERCHANNEL_H

#include <cstdint>
#include <string>

#include "model/Channel.h"
#include "server/TextMessage.h"
#include "server/VoiceChannel.h"

namespace quorvane {
namespace server {

class ServerUser;

class ServerChannel : public Channel<ServerChannel, ServerUser> {
public:
    ServerChannel();
    explicit ServerChannel(const std::string& name);
    ~ServerChannel() override;

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

private:
    std::string password_;
    std::shared_ptr<VoiceChannel> voice_;
};

typedef std::shared_ptr<ServerChannel> serverchannel_t;

}  // namespace server
}  // namespace quorvane

#endif
