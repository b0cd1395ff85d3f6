#include "CliApp.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LineEditor.h"
#include "LineSplitter.h"
#include "SignalFlags.h"

namespace quorvane {
namespace cli {

namespace {

// Reads a line from the terminal without echoing it. Byte by byte, so that nothing
// typed after it is taken from the prompt that follows.
bool ReadHidden(const std::string& prompt, std::string& secret) {
    if (::isatty(0) != 1) return false;
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    termios saved;
    tcgetattr(0, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSADRAIN, &quiet);
    secret.clear();
    char c = 0;
    ssize_t n;
    while ((n = ::read(0, &c, 1)) == 1 && c != '\n' && secret.size() < LineSplitter::MAX_LINE) secret += c;
    tcsetattr(0, TCSADRAIN, &saved);
    std::fprintf(stderr, "\n");
    return n == 1;
}

// Without --user or --admin the client logs in as a user named after the local account.
CliOptions WithDefaults(CliOptions options) {
    if (options.user.empty() && options.admin.empty()) {
        const char* login = std::getenv("USER");
        options.user = login != nullptr && *login != '\0' ? login : "quorvane-cli";
    }
    return options;
}

std::string HistoryFile() {
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.quorvane_cli_history" : "";
}

std::string Sentence(std::string clause) {
    if (!clause.empty() && clause[0] >= 'a' && clause[0] <= 'z') clause[0] = static_cast<char>(clause[0] - 'a' + 'A');
    return clause + ".";
}

}  // namespace

CliApp::CliApp(const CliOptions& options)
    : options_(WithDefaults(options)),
      session_(options_),
      interactive_(options_.commands.empty() && ::isatty(0) == 1) {}

CliApp::~CliApp() = default;

bool CliApp::AskSecret(const std::string& prompt, const char* variable, std::string& secret) {
    if (const char* value = std::getenv(variable)) {
        secret = value;
        return true;
    }
    if (editor_ && editor_->IsEditing()) return Ask(prompt, true, secret);
    return ReadHidden(prompt, secret);
}

int CliApp::Run() {
    std::string password;
    if (!AskSecret(options_.IsAdmin() ? "Administrator password: " : "Server password: ", "QUORVANE_PASSWORD",
                   password)) {
        password.clear();  // no terminal and nothing in the environment: a server without a password
    }
    if (interactive_) {
        session_.SetLineSink(
            [this](const std::string& line, const ChannelTree& before) { OnServerLine(line, before); });
    }
    std::string error;
    if (!session_.Open(password, error)) {
        std::fprintf(stderr, "quorvane-cli: %s\n", error.c_str());
        return EXIT_NO_SESSION;
    }
    const int code = !options_.commands.empty() ? RunScript() : interactive_ ? RunInteractive() : RunPiped();
    session_.Quit();
    return code;
}

bool CliApp::RunScriptCommand(const std::string& text) {
    std::string error;
    if (RunCommand(text, error)) return true;
    std::fprintf(stderr, "quorvane-cli: %s: %s\n", text.c_str(), error.c_str());
    return false;
}

int CliApp::RunScript() {
    for (const std::string& command : options_.commands) {
        if (!RunScriptCommand(command)) return EXIT_COMMAND_FAILED;
        if (quit_) break;
    }
    return EXIT_OK;
}

// Standard input that is not a terminal is a script read as it comes: each line runs as
// soon as it is complete, and the session is kept alive in between.
int CliApp::RunPiped() {
    LineSplitter input;
    for (;;) {
        std::string line;
        const LineSplitter::Result got = input.Next(line);
        if (got == LineSplitter::FINISHED) return EXIT_OK;
        if (got == LineSplitter::GOT_LINE) {
            if (!RunScriptCommand(line)) return EXIT_COMMAND_FAILED;
            if (quit_) return EXIT_OK;
            continue;
        }
        const Wait wait = WaitForInput(0);
        if (wait == GONE) {
            std::fprintf(stderr, "quorvane-cli: %s\n", session_.ClosedText().c_str());
            return EXIT_COMMAND_FAILED;
        }
        if (wait == INPUT) input.ReadFrom(0);
    }
}

CliApp::Wait CliApp::WaitForInput(int fd) {
    const int timeout = session_.KeepAlive();
    pollfd fds[3] = {{session_.CommandFd(), POLLIN, 0}, {session_.VoiceFd(), POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = ::poll(fds, 3, timeout);  // a negative fd is left out
    if (!session_.Poll(0)) return GONE;
    return ready > 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? INPUT : IDLE;
}

int CliApp::RunInteractive() {
    const ChannelTree& tree = session_.Tree();
    std::printf("Connected to %s as %s. %s\n%s", tree.serverName.c_str(),
                options_.IsAdmin() ? "the administrator" : tree.ownNickname.c_str(), tree.motd.c_str(),
                tree.Render().c_str());
    std::printf("Type help for the commands.\n");
    std::fflush(stdout);
    editor_.reset(new LineEditor(
        "quorvane> ", [this](const std::string& before, const std::string& word) { return Complete(before, word); },
        HistoryFile(), [](const std::string& line) { return !HoldsSecret(line); }));
    const SignalFlags signals;
    int code = EXIT_OK;
    bool gone = false;
    while (!SignalFlags::Stopped()) {
        editor_->Show();
        if (!editor_->HasPending()) {
            const Wait wait = WaitForInput(editor_->Fd());
            if (SignalFlags::TakeResized()) editor_->Redraw();
            if (wait == GONE) {
                gone = true;
                break;
            }
            if (wait == IDLE) continue;
            editor_->Read();
        }
        std::string line;
        const LineEditor::Input input = editor_->Next(line);
        if (input == LineEditor::QUIT) break;
        if (input != LineEditor::LINE) continue;
        std::string error;
        SignalFlags::TakeInterrupt();  // Ctrl+C from here on stops this command only
        const bool ok = RunCommand(line, error);
        SignalFlags::TakeInterrupt();
        if (!session_.IsOpen()) {
            gone = true;
            break;
        }
        if (!ok) {
            Say("error: " + error);
            code = EXIT_COMMAND_FAILED;
        }
        if (quit_) break;
    }
    if (gone) {
        Say(Sentence(session_.ClosedText()));
        code = EXIT_COMMAND_FAILED;
    }
    editor_.reset();
    return code;
}

bool CliApp::Ask(const std::string& question, bool hidden, std::string& answer) {
    editor_->Ask(question, hidden);
    for (;;) {
        if (!editor_->HasPending()) {
            const Wait wait = WaitForInput(editor_->Fd());
            if (wait == GONE) return false;
            if (wait == IDLE) continue;
            editor_->Read();
        }
        const LineEditor::Input input = editor_->Next(answer);
        if (input == LineEditor::LINE) return true;
        if (input != LineEditor::NOTHING) return false;
    }
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

void CliApp::Emit(const Record& record) { Say(options_.json ? FormatJson(record) : FormatTsv(record)); }

void CliApp::OnServerLine(const std::string& line, const ChannelTree& before) {
    if (holding_ != nullptr && holding_->Matches(line)) {
        held_.push_back(line);
        return;
    }
    const std::string text = DescribeLine(line, before);
    if (!text.empty()) Say(text);
}

Candidates CliApp::Complete(const std::string& before, const std::string& word) const {
    Words typed;
    std::string ignored;
    SplitWords(before, typed, ignored);
    Candidates candidates;
    const ChannelTree& tree = session_.Tree();
    if (typed.words.empty()) {
        candidates.words = CommandWords();
        return candidates;
    }
    size_t index = 0;
    for (size_t i = 1; i < typed.words.size(); ++i) index += typed.words[i].compare(0, 2, "--") == 0 ? 0 : 1;
    switch (ArgumentKind(typed.words[0], index)) {
    case ArgKind::CHANNEL:
        // "Lobby" names /Lobby/ too: without the leading slash, the paths come without it.
        for (const std::string& path : tree.ChannelPaths()) {
            if (!word.empty() && word[0] != '/' && path.size() > 1) candidates.words.push_back(path.substr(1));
            else if (word.empty() || word[0] == '/') candidates.words.push_back(path);
        }
        break;
    case ArgKind::USER: candidates.words = tree.Nicknames(); break;
    case ArgKind::REMOTE_FILE: candidates.words = tree.FileNames(tree.ownChannel); break;
    case ArgKind::COMMAND: candidates.words = CommandWords(); break;
    case ArgKind::LOCAL_FILE:
        candidates.words = LocalPaths(word);
        candidates.paths = true;
        break;
    case ArgKind::NONE: break;
    }
    return candidates;
}

}  // namespace cli
}  // namespace quorvane
