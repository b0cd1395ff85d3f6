// The shared files: the files root directory and its "data_<n>.dat" files, and the file
// entries of the channels that name them.
//
// Threads: the main loop's thread, or the host's while no loop runs (checked in debug
// builds). The data files are created, moved and deleted here, on that thread.
#ifndef QUORVANE_SERVER_FILESTORE_H
#define QUORVANE_SERVER_FILESTORE_H

#include <atomic>
#include <string>

#include "model/ChannelFile.h"
#include "server/ServerChannel.h"
#include "settings/SettingsTable.h"

class ACE_Reactor;

namespace quorvane {
namespace server {

class Broadcaster;
class ChannelTree;
class ServerNodeListener;
class ServerStatistics;
class UserRegistry;

class FileStore {
public:
    enum {
        DEFAULT_MAX_FILES_PER_CHANNEL = SettingsTable::Default("max-files-per-channel"),
        DEFAULT_MAX_FILES = SettingsTable::Default("max-files"),
    };

    // started: whether the server runs (the root is set before); broadcast announces the
    // files; listener hears of them.
    FileStore(ACE_Reactor* loop, const std::atomic<bool>& started, ServerStatistics& statistics, Broadcaster& broadcast,
              const ChannelTree& tree, UserRegistry& users, ServerNodeListener& listener)
        : loop_(loop),
          started_(started),
          statistics_(statistics),
          broadcast_(broadcast),
          tree_(tree),
          users_(users),
          listener_(listener) {}

    // The directory of shared files, before start only (false when it is no directory, or
    // while started). Empty means file sharing is off.
    bool SetFilesRoot(const std::string& path);
    std::string GetFilesRoot() const { return filesRoot_; }
    bool IsSharing() const { return !filesRoot_.empty(); }
    std::string FilePath(const std::string& name) const { return filesRoot_ + "/" + name; }

    // Files a channel and the whole server may hold, 0 meaning no limit. Files stored
    // beyond them (loaded at start-up, or kept when a limit was lowered) stay.
    void SetFileLimits(int perChannel, int total);
    int GetMaxFilesPerChannel() const { return maxPerChannel_; }
    int GetMaxFiles() const { return maxTotal_; }
    // Whether one more file fits both limits beside the channel's files, the server's, and
    // the uploads registered for each (a file of 0 bytes counts as any other).
    bool HasRoomFor(const ServerChannel& channel, int pendingInChannel, int pendingInAll) const;

    // Moves a finished upload's file to a new "data_<n>.dat" name (the clock in
    // milliseconds; a name taken moves on to the next number) and sets internalName.
    int MoveIntoStore(const std::string& localPath, std::string& internalName);

    // Adds the entry to the channel and announces it ("addfile" to the channel's
    // members and every logged-in administrator).
    void AddFileToChannel(const ChannelFile& file, const serverchannel_t& channel);
    // Takes the entry out of the channel, announces it and deletes its data file.
    void RemoveFileFromChannel(const std::string& filename, const serverchannel_t& channel);
    // The same for every file of the channel (the channel is being removed).
    void RemoveChannelFiles(const serverchannel_t& channel);
    // "deletefile": the channel's operators and the administrator may.
    int UserDeleteFile(int userId, const std::string& path, const std::string& filename);

private:
    // Takes the entry out of the channel and announces it, leaving its data file.
    bool DetachFile(const std::string& filename, const serverchannel_t& channel, ChannelFile& file);

    void AssertLoopThread() const;

    ACE_Reactor* const loop_;
    const std::atomic<bool>& started_;
    ServerStatistics& statistics_;
    Broadcaster& broadcast_;
    const ChannelTree& tree_;
    UserRegistry& users_;
    ServerNodeListener& listener_;
    std::string filesRoot_;
    int maxPerChannel_ = DEFAULT_MAX_FILES_PER_CHANNEL;
    int maxTotal_ = DEFAULT_MAX_FILES;
};

}  // namespace server
}  // namespace quorvane

#endif
