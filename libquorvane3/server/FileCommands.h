// The file commands: registering an upload or a download on the command connection,
// beginning its data phase on a second connection, the file-sharing values and
// deletion.
//
// Threads: the main loop's thread, after CommandTable checked the command's requirements.
#ifndef QUORVANE_SERVER_FILECOMMANDS_H
#define QUORVANE_SERVER_FILECOMMANDS_H

namespace quorvane {
namespace server {

class CommandContext;

class FileCommands {
public:
    static void RegSendFile(CommandContext& command);
    static void RegRecvFile(CommandContext& command);
    static void SendFile(CommandContext& command);
    static void RecvFile(CommandContext& command);
    static void FileDeliver(CommandContext& command);
    static void FileShare(CommandContext& command);
    static void DeleteFile(CommandContext& command);

private:
    static void Register(CommandContext& command, bool upload);
    static void Begin(CommandContext& command, bool upload);
};

}  // namespace server
}  // namespace quorvane

#endif
