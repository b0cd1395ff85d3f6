// CliApp: running one command and showing what it did.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>

#include "CliApp.h"
#include "FileTransfer.h"
#include "LineEditor.h"
#include "LineParams.h"
#include "SignalFlags.h"
#include "protocol/LineBuilder.h"

namespace quorvane {
namespace cli {

bool CliApp::RunCommand(const std::string& text, std::string& error) {
    Request request;
    const CommandContext context{session_.Tree(), [this](const std::string& prompt, std::string& secret) {
                                     return AskSecret(prompt, "QUORVANE_NEW_PASSWORD", secret);
                                 }};
    if (!BuildRequest(text, context, request, error)) return false;
    switch (request.action) {
    case Action::NOTHING: return true;
    case Action::QUIT: quit_ = true; return true;
    case Action::HELP: Say(CommandHelp(request.remoteName)); return true;
    case Action::TREE:
        if (Readable()) {
            Say(session_.Tree().Render());
        } else {
            for (const Record& row : session_.Tree().Rows()) Emit(row);
        }
        return true;
    case Action::UPLOAD:
    case Action::DOWNLOAD: return Transfer(request, error);
    case Action::SERVER: break;
    }
    held_.clear();
    holding_ = &request.echo;
    const Reply reply = session_.Execute(request.line);
    holding_ = nullptr;
    if (!reply.ok) {
        error = reply.errorText;
        return false;
    }
    PrintResult(request, reply);
    return true;
}

void CliApp::PrintResult(const Request& request, const Reply& reply) {
    if (interactive_ && !request.confirmation.empty()) Say(request.confirmation);
    if (request.result == ResultKind::FILES && interactive_) {
        const std::string files = FilesText(session_.Tree().ownChannel, held_);
        if (!files.empty()) Say(files);
    }
    // The listings: one line each, as text for people or as rows.
    const struct {
        ResultKind kind;
        const char* word;
        std::string (*text)(const std::string&);
        Record (*row)(const std::string&);
        const char* none;
    } listings[] = {{ResultKind::BANS, "userbanned", BanText, BanRow, "No bans."},
                    {ResultKind::USERS, "userinfo", ConnectionText, ConnectionRow, "No connections."}};
    for (const auto& listing : listings) {
        if (request.result != listing.kind) continue;
        size_t shown = 0;
        for (const std::string& line : reply.lines) {
            if (LineWord(line) != listing.word) continue;
            ++shown;
            if (Readable()) Say(listing.text(line));
            else Emit(listing.row(line));
        }
        if (shown == 0 && Readable()) Say(listing.none);
    }
    if (request.result != ResultKind::STATS) return;
    for (const std::string& line : reply.lines) {
        if (LineWord(line) != "messagedeliver" || IntParam(line, "from") != session_.Tree().ownId) continue;
        if (Readable()) {
            Say(StatsText(TextParam(line, "content")));
        } else {
            for (const Record& row : StatsRows(TextParam(line, "content"))) Emit(row);
        }
    }
}

bool CliApp::Destination(const Request& request, std::string& path, bool& replace, std::string& error) {
    path = request.localPath;
    replace = request.force;
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        const size_t slash = request.remoteName.find_last_of('/');
        if (path.back() != '/') path += '/';
        path += (slash == std::string::npos ? request.remoteName : request.remoteName.substr(slash + 1));
    }
    if (replace || ::lstat(path.c_str(), &info) != 0) return true;
    if (S_ISDIR(info.st_mode)) {
        error = path + " is a directory";
        return false;
    }
    std::string answer;
    if (!(editor_ && editor_->IsEditing())) {
        error = path + " exists; give --force to replace it";
        return false;
    }
    if (Ask(path + " exists. Replace it? [y/N] ", false, answer) &&
        (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes")) {
        replace = true;
        return true;
    }
    error.clear();
    return false;
}

bool CliApp::Transfer(const Request& request, std::string& error) {
    const bool upload = request.action == Action::UPLOAD;
    int64_t size = 0;
    std::string destination;
    bool replace = false;
    if (upload) {
        struct stat info;
        if (::stat(request.localPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            error = "no file " + request.localPath;
            return false;
        }
        size = info.st_size;
    } else if (!Destination(request, destination, replace, error)) {
        if (!error.empty()) return false;
        Say("Nothing downloaded; " + destination + " stays as it was.");
        return true;
    }
    const auto started = std::chrono::steady_clock::now();  // after any question
    LineBuilder registration(upload ? "regsendfile" : "regrecvfile");
    registration.String("channel", request.channel).String("filename", request.remoteName);
    if (upload) registration.Int64("filesize", size);
    const Reply reply = session_.Execute(registration.Finish());
    if (!reply.ok) {
        error = reply.errorText;
        return false;
    }
    int transferId = 0;
    for (const std::string& line : reply.lines) {
        if (LineWord(line) == "fileaccepted") transferId = IntParam(line, "transferid");
    }
    if (transferId == 0) {
        error = "the server accepted no transfer";
        return false;
    }
    TransferEndpoint endpoint;
    endpoint.host = session_.ServerAddress();
    endpoint.from = session_.OwnAddress();
    endpoint.port = options_.port;
    endpoint.timeoutMs = session_.TimeoutMs();
    endpoint.tls = options_.tls;
    endpoint.tick = [this] {
        session_.KeepAlive();
        return !SignalFlags::Stopped();
    };
    // A script's transfer catches the signals that end the client, so that a download cut
    // short by Ctrl+C still leaves nothing behind; the signal is raised again after it.
    std::unique_ptr<SignalFlags> scripted(interactive_ ? nullptr : new SignalFlags);
    ProgressBar progress(stderr, ::isatty(2) == 1, request.remoteName, size);
    const bool ok = upload ? UploadFile(endpoint, transferId, request.localPath, size, progress, error)
                           : DownloadFile(endpoint, transferId, destination, replace, progress, size, error);
    progress.Finish();
    if (scripted && SignalFlags::Caught() != 0) {
        scripted.reset();
        std::raise(SignalFlags::Caught());
    }
    if (!ok) return false;
    if (upload) {
        // The server queues the new file's announcement (addfile) on the command connection
        // before it confirms the upload on the data connection, so it is in by the answer to
        // a round trip: the upload ends with the file in the tree, for the next command
        // (-c tree) to see. At the prompt the summary below says it once.
        const Echo announcement{{"addfile"}, request.channel, 0};
        holding_ = &announcement;
        const Reply announced = session_.Execute("");
        holding_ = nullptr;
        if (!announced.ok) {
            error = announced.errorText;
            return false;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!Readable()) {
        Emit({{"filename", request.remoteName},
              Number("filesize", size),
              {upload ? "channel" : "path", upload ? request.channel : destination}});
        return true;
    }
    Say(TransferText(upload, request.remoteName, size, upload ? request.channel : destination, seconds));
    return true;
}

}  // namespace cli
}  // namespace quorvane
