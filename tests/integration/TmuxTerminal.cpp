#include "TmuxTerminal.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "TestClient.h"

namespace quorvane {
namespace test {

namespace {

// One word for sh.
std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const char* const SANITIZER_LOG = "cli-sanitizer";

}  // namespace

TmuxTerminal::TmuxTerminal(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, int columns, int rows)
    : dir_(dir), socket_(dir + "/tmux.sock") {
    // A dead pane stays on the screen, so what the program said last can be read.
    std::ofstream(dir_ + "/tmux.conf") << "set -g remain-on-exit on\nset -g status off\n";
    std::string command = "cd " + Quote(dir_) + " && stty -g > tty-before; env";
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* options = std::getenv(name);
        command += " " + std::string(name) + "=" +
                   Quote(std::string(options != nullptr ? options : "") + ":log_path=" + dir_ + "/" + SANITIZER_LOG);
    }
    for (const std::string& entry : env) command += " " + Quote(entry);
    command += " " + Quote(program);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += "; echo $? > status.tmp; stty -g > tty-after; mv status.tmp status";
    Tmux({"-f", dir_ + "/tmux.conf", "new-session", "-d", "-s", "t", "-x", std::to_string(columns), "-y",
          std::to_string(rows), command});
    started_ = testing_support::WaitFor([this] { return !Screen().empty(); }, 10000);
}

TmuxTerminal::~TmuxTerminal() { Tmux({"kill-server"}); }

std::string TmuxTerminal::Tmux(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"tmux", "-S", socket_};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return "";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(TMUX_PROGRAM, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out[0], chunk, sizeof(chunk))) > 0) text.append(chunk, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

void TmuxTerminal::Type(const std::string& text) const { Tmux({"send-keys", "-t", "t", "-l", text}); }

void TmuxTerminal::Press(const std::string& keys) const { Tmux({"send-keys", "-t", "t", keys}); }

std::vector<std::string> TmuxTerminal::Screen() const {
    std::istringstream in(Tmux({"capture-pane", "-p", "-t", "t"}));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    // tmux marks a finished program's pane; that line is not the program's.
    if (!lines.empty() && lines.back().rfind("Pane is dead", 0) == 0) lines.pop_back();
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

std::string TmuxTerminal::ScreenText() const {
    std::string text;
    for (const std::string& line : Screen()) text += line + "\n";
    return text;
}

std::string TmuxTerminal::LastLine() const {
    const std::vector<std::string> lines = Screen();
    return lines.empty() ? "" : lines.back();
}

bool TmuxTerminal::WaitForText(const std::string& text, int timeoutMs) const {
    if (testing_support::WaitFor([&] { return ScreenText().find(text) != std::string::npos; }, timeoutMs)) return true;
    ADD_FAILURE() << "the screen does not show \"" << text << "\":\n" << ScreenText();
    return false;
}

bool TmuxTerminal::WaitForLastLine(const std::string& line, int timeoutMs) const {
    if (testing_support::WaitFor([&] { return LastLine() == line; }, timeoutMs)) return true;
    ADD_FAILURE() << "the last line is not \"" << line << "\":\n" << ScreenText();
    return false;
}

std::string TmuxTerminal::Read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int TmuxTerminal::WaitForExit(int timeoutMs) const {
    if (!testing_support::WaitFor([&] { return !Read("status").empty(); }, timeoutMs)) return -1;
    return std::atoi(Read("status").c_str());
}

bool TmuxTerminal::TerminalRestored() const {
    return !Read("tty-before").empty() && Read("tty-before") == Read("tty-after");
}

std::string TmuxTerminal::SanitizerReports() const {
    std::string reports;
    if (DIR* d = ::opendir(dir_.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            if (name.rfind(SANITIZER_LOG, 0) == 0) reports += Read(name);
        }
        ::closedir(d);
    }
    return reports;
}

}  // namespace test
}  // namespace quorvane
