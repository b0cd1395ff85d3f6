#include "server/FileCommands.h"

#include "protocol/ErrorCodes.h"
#include "server/CommandContext.h"
#include "server/FileStore.h"
#include "server/LineWriter.h"
#include "server/ServerProperties.h"
#include "server/ServerUser.h"
#include "server/TransferTable.h"

namespace quorvane {
namespace server {

void FileCommands::RegSendFile(CommandContext& command) { Register(command, true); }

void FileCommands::RegRecvFile(CommandContext& command) { Register(command, false); }

void FileCommands::Register(CommandContext& command, bool upload) {
    FileTransfer transfer;
    transfer.userId = command.user.GetUserID();
    transfer.upload = upload;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, transfer.channel)) return;
    if (!command.RequireString("filename", ERR_MISSING_FILENAME, transfer.filename)) return;
    if (upload && !command.RequireInt64("filesize", ERR_MISSING_FILESIZE, transfer.filesize)) return;
    if (!command.Permitted()) return;
    const int result = command.parts.transfers.UserRegFileTransfer(transfer);
    command.user.SendLine(result == ERR_SUCCESS ? LineWriter::FileAccepted(transfer.transferId)
                                                : LineWriter::FileRejected(result));
}

void FileCommands::SendFile(CommandContext& command) { Begin(command, true); }

void FileCommands::RecvFile(CommandContext& command) { Begin(command, false); }

void FileCommands::Begin(CommandContext& command, bool upload) {
    int transferId = 0;
    if (!command.RequireInt("transferid", ERR_MISSING_TRANSFERID, transferId)) return;
    command.Succeeded(command.user.Transfer().Begin(transferId, upload, command.keepOpen));
}

void FileCommands::FileDeliver(CommandContext& command) { command.user.Transfer().StartDownload(); }

void FileCommands::FileShare(CommandContext& command) {
    int64_t quota = 0;
    if (!command.RequireInt64("diskquota", ERR_MISSING_DISKQUOTA, quota)) return;
    const CommandParts& parts = command.parts;
    if (command.MayChange()) parts.properties.SetChannelDiskQuota(quota);
    command.user.SendLine(
        LineWriter::FileShareInfo(parts.files.GetFilesRoot(), parts.properties.GetChannelDiskQuota()));
}

void FileCommands::DeleteFile(CommandContext& command) {
    std::string filename, channel;
    if (!command.RequireString("filename", ERR_MISSING_FILENAME, filename)) return;
    if (!command.RequireString("channel", ERR_MISSING_CHANNEL, channel)) return;
    command.Succeeded(command.parts.files.UserDeleteFile(command.user.GetUserID(), channel, filename));
}

}  // namespace server
}  // namespace quorvane
