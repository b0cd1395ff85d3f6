// What every client knows about every other client: id, nickname, audio format, status
// and version (the voice address and packet protocol are the server's user's, kept where
// the voice thread reads them). The server's per-connection object derives from it. Not thread safe: the server touches it on its main loop's thread only.
#ifndef QUORVANE_MODEL_USER_H
#define QUORVANE_MODEL_USER_H

#include <cstdint>
#include <string>

namespace quorvane {

class User {
public:
    explicit User(int userId);
    virtual ~User();

    virtual void SetUserID(int userId);
    virtual int GetUserID() const;
    virtual void SetNickname(const std::string& nickname);
    virtual std::string GetNickname() const;
    virtual void SetEncodedFrameSize(int size);
    virtual int GetEncodedFrameSize() const;
    virtual void SetFramesPerPacket(int fpp);
    virtual int GetFramesPerPacket() const;
    virtual void SetFrameSize(int size);
    virtual int GetFrameSize() const;
    virtual void SetBandMode(int mode);
    virtual int GetBandMode() const;
    virtual void SetStatusMode(int mode);
    virtual int GetStatusMode() const;
    virtual void SetStatusMessage(const std::string& message);
    virtual std::string GetStatusMessage() const;
    virtual void SetVersion(const std::string& version);
    virtual std::string GetVersion() const;
    // Counts every change made through these setters: what was built from the values
    // (a line that describes the user) is still right while the count stays.
    uint64_t GetChanges() const { return changes_; }

private:
    uint64_t changes_ = 0;
    int userId_;
    int bandMode_;
    int encodedFrameSize_;
    int frameSize_;
    int framesPerPacket_;
    std::string nickname_;
    int statusMode_;
    std::string statusMessage_;
    std::string version_;
};

}  // namespace quorvane

#endif
