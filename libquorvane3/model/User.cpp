#include "model/User.h"

namespace quorvane {

User::User(int userId)
    : userId_(userId), bandMode_(-1), encodedFrameSize_(-1), frameSize_(-1), framesPerPacket_(-1), statusMode_(0) {}

User::~User() = default;

void User::SetUserID(int userId) {
    ++changes_;
    userId_ = userId;
}
int User::GetUserID() const { return userId_; }
void User::SetNickname(const std::string& nickname) {
    ++changes_;
    nickname_ = nickname;
}
std::string User::GetNickname() const { return nickname_; }
void User::SetEncodedFrameSize(int size) {
    ++changes_;
    encodedFrameSize_ = size;
}
int User::GetEncodedFrameSize() const { return encodedFrameSize_; }
void User::SetFramesPerPacket(int fpp) {
    ++changes_;
    framesPerPacket_ = fpp;
}
int User::GetFramesPerPacket() const { return framesPerPacket_; }
void User::SetFrameSize(int size) {
    ++changes_;
    frameSize_ = size;
}
int User::GetFrameSize() const { return frameSize_; }
void User::SetBandMode(int mode) {
    ++changes_;
    bandMode_ = mode;
}
int User::GetBandMode() const { return bandMode_; }
void User::SetStatusMode(int mode) {
    ++changes_;
    statusMode_ = mode;
}
int User::GetStatusMode() const { return statusMode_; }
void User::SetStatusMessage(const std::string& message) {
    ++changes_;
    statusMessage_ = message;
}
std::string User::GetStatusMessage() const { return statusMessage_; }
void User::SetVersion(const std::string& version) {
    ++changes_;
    version_ = version;
}
std::string User::GetVersion() const { return version_; }

}  // namespace quorvane
