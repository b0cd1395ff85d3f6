#include "FileTransfer.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "Deadline.h"
#include "LineConnection.h"
#include "LineParams.h"
#include "protocol/ErrorCodes.h"
#include "protocol/LineBuilder.h"

namespace quorvane {
namespace cli {

namespace {

const size_t CHUNK = 65536;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
typedef std::unique_ptr<std::FILE, FileCloser> FilePtr;

// Reads lines up to the one with the awaited word; an error line or silence ends the
// wait with the reason.
bool Await(LineConnection& conn, const char* awaited, int timeoutMs, std::string& reply, std::string& error) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        if (conn.ReadLine(reply, deadline.RemainingMs()) != LineConnection::READ_LINE) {
            error = std::string("no \"") + awaited + "\" from the server on the data connection";
            return false;
        }
        const std::string word = LineWord(reply);
        if (word == awaited) return true;
        if (word == "error") {
            error = TextParam(reply, "message");
            if (error.empty()) error = GetErrorMessage(IntParam(reply, "number"));
            return false;
        }
    }
}

// Opens the data connection and names the transfer.
bool Begin(LineConnection& conn, const TransferEndpoint& endpoint, const std::string& request, const char* awaited,
           std::string& reply, std::string& error) {
    conn.UseTls(endpoint.tls);
    if (!conn.Connect(endpoint.host, endpoint.port, endpoint.timeoutMs, error, endpoint.from)) return false;
    if (!conn.Send(request)) {
        error = "the data connection broke";
        return false;
    }
    return Await(conn, awaited, endpoint.timeoutMs, reply, error);
}

// Moves the finished download to its name. Without replace, a file that appeared there
// meanwhile is kept (EEXIST): the kernel refuses the rename, or where it cannot, a hard
// link that cannot replace anything takes the name.
bool Place(const std::string& temporary, const std::string& path, bool replace) {
    if (replace) return std::rename(temporary.c_str(), path.c_str()) == 0;
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::link(temporary.c_str(), path.c_str()) != 0) return false;
    ::unlink(temporary.c_str());
    return true;
}

}  // namespace

bool UploadFile(const TransferEndpoint& endpoint, int transferId, const std::string& path, int64_t size,
                ProgressBar& progress, std::string& error) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot read " + path + ": " + std::generic_category().message(errno);
        return false;
    }
    LineConnection conn;
    std::string reply;
    // Bytes may only follow once the server has switched the connection to data.
    if (!Begin(conn, endpoint, LineBuilder("sendfile").Int("transferid", transferId).Finish(), "filedeliver", reply,
               error)) {
        return false;
    }
    std::vector<char> buffer(CHUNK);
    int64_t sent = 0;
    while (sent < size) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(CHUNK, size - sent));
        const size_t got = std::fread(buffer.data(), 1, want, file.get());
        if (got == 0) {
            error = path + " became shorter while it was sent";
            return false;
        }
        if (!conn.Send(buffer.data(), got)) {
            error = "the data connection broke after " + std::to_string(sent) + " bytes";
            return false;
        }
        sent += static_cast<int64_t>(got);
        progress.Update(sent);
        if (endpoint.tick && !endpoint.tick()) {
            error = "interrupted";
            return false;
        }
    }
    return Await(conn, "filecompleted", endpoint.timeoutMs, reply, error);
}

bool DownloadFile(const TransferEndpoint& endpoint, int transferId, const std::string& path, bool replace,
                  ProgressBar& progress, int64_t& size, std::string& error) {
    LineConnection conn;
    std::string reply;
    if (!Begin(conn, endpoint, LineBuilder("recvfile").Int("transferid", transferId).Finish(), "fileready", reply,
               error)) {
        return false;
    }
    size = Int64Param(reply, "filesize");
    progress.SetTotal(size);

    std::string temporary = path + ".part-XXXXXX";
    const int fd = ::mkstemp(&temporary[0]);
    if (fd < 0) {
        error = "cannot write beside " + path + ": " + std::generic_category().message(errno);
        return false;
    }
    // mkstemp makes the file private; the finished download gets the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    FilePtr file(::fdopen(fd, "wb"));
    if (!file) ::close(fd);
    bool ok = file != nullptr && conn.Send("filedeliver\r\n");
    if (!ok) error = "cannot start the download";
    std::vector<char> buffer(CHUNK);
    int64_t received = 0;
    Deadline stall(endpoint.timeoutMs);
    while (ok && received < size) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(CHUNK, size - received));
        const long got = conn.ReadSome(buffer.data(), want, std::min(1000, stall.RemainingMs()));
        if (endpoint.tick && !endpoint.tick()) {
            error = "interrupted";
            ok = false;
        } else if (got < 0 && !stall.Passed()) {
            continue;
        } else if (got <= 0) {
            error = got == 0 ? "the server closed the data connection after " + std::to_string(received) + " of " +
                                   std::to_string(size) + " bytes"
                             : "the download stalled";
            ok = false;
        } else if (std::fwrite(buffer.data(), 1, static_cast<size_t>(got), file.get()) != static_cast<size_t>(got)) {
            error = "cannot write " + temporary + ": " + std::generic_category().message(errno);
            ok = false;
        } else {
            received += got;
            progress.Update(received);
            stall = Deadline(endpoint.timeoutMs);
        }
    }
    if (file && std::fclose(file.release()) != 0 && ok) {
        error = "cannot write " + temporary + ": " + std::generic_category().message(errno);
        ok = false;
    }
    if (ok && !Place(temporary, path, replace)) {
        error = errno == EEXIST
                    ? path + " exists; give --force to replace it"
                    : "cannot rename " + temporary + " to " + path + ": " + std::generic_category().message(errno);
        ok = false;
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace cli
}  // namespace quorvane
