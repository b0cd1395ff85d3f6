#include "CliApp.h"

#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iostream>

#include "FileTransfer.h"
#include "LineEditor.h"
#include "LineParams.h"
#include "protocol/LineBuilder.h"

namespace quorvane {
namespace cli {

namespace {

// Reads a line from the terminal without echoing it.
bool ReadHidden(const std::string& prompt, std::string& secret) {
    if (::isatty(0) != 1) return false;
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    termios saved;
    tcgetattr(0, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSAFLUSH, &quiet);
    const bool ok = static_cast<bool>(std::getline(std::cin, secret));
    tcsetattr(0, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
    return ok;
}

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

// Without --user or --admin the client logs in as a user named after the local account.
CliOptions WithDefaults(CliOptions options) {
    if (options.user.empty() && options.admin.empty()) {
        const char* login = std::getenv("USER");
        options.user = login != nullptr && *login != '\0' ? login : "quorvane-cli";
    }
    return options;
}

}  // namespace

CliApp::CliApp(const CliOptions& options)
    : options_(WithDefaults(options)), session_(options_), interactive_(options_.commands.empty()) {}

CliApp::~CliApp() = default;

bool CliApp::AskSecret(const std::string& prompt, const char* variable, std::string& secret) {
    if (const char* value = std::getenv(variable)) {
        secret = value;
        return true;
    }
    return ReadHidden(prompt, secret);
}

int CliApp::Run() {
    std::string password;
    if (!AskSecret(options_.IsAdmin() ? "Administrator password: " : "Server password: ", "QUORVANE_PASSWORD",
                   password)) {
        password.clear();  // no terminal and nothing in the environment: a server without a password
    }
    if (interactive_) {
        session_.SetLineSink([this](const std::string& line, const ChannelTree& before) {
            const std::string text = DescribeLine(line, before);
            if (!text.empty()) Say(text);
        });
    }
    std::string error;
    if (!session_.Open(password, error)) {
        std::fprintf(stderr, "quorvane-cli: %s\n", error.c_str());
        return EXIT_NO_SESSION;
    }
    const int code = interactive_ ? RunInteractive() : RunScript();
    session_.Quit();
    return code;
}

int CliApp::RunScript() {
    for (const std::string& command : options_.commands) {
        std::string error;
        if (!RunCommand(command, error)) {
            std::fprintf(stderr, "quorvane-cli: %s: %s\n", command.c_str(), error.c_str());
            return EXIT_COMMAND_FAILED;
        }
        if (quit_) break;
    }
    return EXIT_OK;
}

int CliApp::RunInteractive() {
    const ChannelTree& tree = session_.Tree();
    std::printf("Connected to %s as %s. %s\n%s", tree.serverName.c_str(),
                options_.IsAdmin() ? "the administrator" : tree.ownNickname.c_str(), tree.motd.c_str(),
                tree.Render().c_str());
    std::printf("Type help for the commands.\n");
    std::fflush(stdout);
    editor_.reset(new LineEditor("quorvane> ", [this](const std::string& before, const std::string& word) {
        Words typed;
        std::string ignored;
        SplitWords(before, typed, ignored);
        const ChannelTree& tree = session_.Tree();
        if (typed.words.empty()) return CommandWords();
        switch (ArgumentKind(typed.words[0], typed.words.size() - 1)) {
        case ArgKind::CHANNEL: return tree.ChannelPaths();
        case ArgKind::USER: return tree.Nicknames();
        case ArgKind::REMOTE_FILE: return tree.FileNames(tree.ownChannel);
        case ArgKind::COMMAND: return CommandWords();
        default: return std::vector<std::string>();
        }
    }));
    // Ctrl+C leaves through the same door as quit, so the terminal is restored.
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    int code = EXIT_OK;
    bool inputOpen = true;
    while (inputOpen && !quit_ && !interrupted) {
        const int wait = session_.KeepAlive();
        pollfd fds[3] = {{editor_->Fd(), POLLIN, 0}, {session_.CommandFd(), POLLIN, 0}, {session_.VoiceFd(), POLLIN, 0}};
        if (::poll(fds, session_.VoiceFd() >= 0 ? 3 : 2, wait) < 0) continue;  // a signal
        // The server's lines are taken first, so they show before a command is run.
        if (!session_.Poll(0)) break;
        if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) continue;
        std::vector<std::string> lines;
        inputOpen = editor_->OnReadable(lines);
        for (const std::string& line : lines) {
            std::string error;
            if (!RunCommand(line, error)) {
                Say("error: " + error);
                code = EXIT_COMMAND_FAILED;
            }
            if (quit_) break;
        }
    }
    if (!quit_ && inputOpen && !interrupted) {
        Say("The server closed the connection.");
        code = EXIT_COMMAND_FAILED;
    }
    editor_.reset();
    return code;
}

void CliApp::Say(const std::string& message) {
    std::string text = message;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (editor_) {
        editor_->Print(text);
    } else {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}

void CliApp::Emit(const Record& record) {
    Say(options_.json ? FormatJson(record) : FormatTsv(record));
}

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
        if (interactive_ && !options_.json) {
            Say(session_.Tree().Render());
        } else {
            for (const Record& row : session_.Tree().Rows()) Emit(row);
        }
        return true;
    case Action::UPLOAD:
    case Action::DOWNLOAD: return Transfer(request, error);
    case Action::SERVER: break;
    }
    const Reply reply = session_.Execute(request.line);
    if (!reply.ok) {
        error = reply.errorText;
        return false;
    }
    PrintResult(request, reply);
    return true;
}

void CliApp::PrintResult(const Request& request, const Reply& reply) {
    // At the prompt the statistics already showed as the server's message.
    if (interactive_ && request.result == ResultKind::STATS) return;
    for (const std::string& line : reply.lines) {
        const std::string word = LineWord(line);
        if (request.result == ResultKind::BANS && word == "userbanned") {
            Emit({{"address", TextParam(line, "address")},
                  {"channel", TextParam(line, "channel")},
                  {"nickname", TextParam(line, "nickname")},
                  {"bantime", TextParam(line, "bantime")}});
        } else if (request.result == ResultKind::STATS && word == "messagedeliver") {
            if (IntParam(line, "from") != session_.Tree().ownId) continue;
            // "Name: value" lines separated by CR LF.
            std::string content = TextParam(line, "content");
            size_t start = 0;
            while (start < content.size()) {
                size_t end = content.find("\r\n", start);
                if (end == std::string::npos) end = content.size();
                const std::string item = content.substr(start, end - start);
                const size_t colon = item.find(": ");
                if (colon != std::string::npos) Emit({{"name", item.substr(0, colon)}, {"value", item.substr(colon + 2)}});
                start = end + 2;
            }
        }
    }
}

bool CliApp::Transfer(const Request& request, std::string& error) {
    const bool upload = request.action == Action::UPLOAD;
    int64_t size = 0;
    std::string destination = request.localPath;
    if (upload) {
        struct stat info;
        if (::stat(request.localPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            error = "no file " + request.localPath;
            return false;
        }
        size = info.st_size;
        // The server completes an upload when its last byte arrives: an empty file would
        // never complete.
        if (size == 0) {
            error = request.localPath + " is empty";
            return false;
        }
    } else {
        struct stat info;
        if (::stat(destination.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            const size_t slash = request.remoteName.find_last_of('/');
            if (destination.back() != '/') destination += '/';
            destination += (slash == std::string::npos ? request.remoteName : request.remoteName.substr(slash + 1));
        }
    }
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
    endpoint.host = options_.host;
    endpoint.port = options_.port;
    endpoint.timeoutMs = session_.TimeoutMs();
    endpoint.tick = [this] { session_.KeepAlive(); };
    ProgressBar progress(stderr, ::isatty(2) == 1, request.remoteName, size);
    bool ok;
    if (upload) {
        ok = UploadFile(endpoint, transferId, request.localPath, size, progress, error);
    } else {
        ok = DownloadFile(endpoint, transferId, destination, progress, size, error);
    }
    progress.Finish();
    if (!ok) return false;
    Emit({{"filename", request.remoteName},
          {"filesize", std::to_string(size)},
          {upload ? "channel" : "path", upload ? request.channel : destination}});
    return true;
}

}  // namespace cli
}  // namespace quorvane
