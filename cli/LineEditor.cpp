#include "LineEditor.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <editline/readline.h>

namespace quorvane {
namespace cli {

namespace {

LineEditor* current = nullptr;
std::vector<std::string> candidates;
size_t candidateIndex = 0;

// libedit asks for the matches one at a time, state 0 starting afresh.
char* NextCandidate(const char* word, int state) {
    if (state == 0) candidateIndex = 0;
    while (candidateIndex < candidates.size()) {
        const std::string& candidate = candidates[candidateIndex++];
        if (candidate.compare(0, std::strlen(word), word) == 0) return ::strdup(candidate.c_str());
    }
    return nullptr;
}

LineEditor::Completer activeCompleter;

char** Complete(const char* word, int start, int end) {
    const std::string before(rl_line_buffer, static_cast<size_t>(start));
    candidates = activeCompleter ? activeCompleter(before, word) : std::vector<std::string>();
    // No candidates: fall back to file names (upload and download paths).
    if (candidates.empty()) return nullptr;
    rl_attempted_completion_over = 1;
    return rl_completion_matches(word, NextCandidate);
}

}  // namespace

LineEditor::LineEditor(const std::string& prompt, Completer completer)
    : terminal_(::isatty(0) == 1 && ::isatty(1) == 1), prompt_(prompt), completer_(std::move(completer)) {
    if (!terminal_) return;
    current = this;
    activeCompleter = completer_;
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        historyFile_ = std::string(home) + "/.quorvane_cli_history";
        ::read_history(historyFile_.c_str());
    }
    static char breaks[] = " \t\"'";
    rl_completer_word_break_characters = breaks;
    rl_attempted_completion_function = Complete;
    rl_callback_handler_install(prompt_.c_str(), &LineEditor::OnLine);
}

LineEditor::~LineEditor() {
    if (!terminal_) return;
    rl_callback_handler_remove();
    if (!historyFile_.empty()) ::write_history(historyFile_.c_str());
    rl_attempted_completion_function = nullptr;
    activeCompleter = nullptr;
    current = nullptr;
    std::fputs("\n", stdout);
}

void LineEditor::OnLine(char* line) {
    if (current == nullptr) {
        std::free(line);
        return;
    }
    if (line == nullptr) {
        current->ended_ = true;
        return;
    }
    if (*line != '\0') ::add_history(line);
    current->typed_.push_back(line);
    std::free(line);
}

bool LineEditor::OnReadable(std::vector<std::string>& lines) {
    if (terminal_) {
        rl_callback_read_char();
        lines.insert(lines.end(), typed_.begin(), typed_.end());
        typed_.clear();
        return !ended_;
    }
    char chunk[4096];
    const ssize_t n = ::read(0, chunk, sizeof(chunk));
    if (n > 0) pending_.append(chunk, static_cast<size_t>(n));
    size_t lf;
    while ((lf = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        pending_.erase(0, lf + 1);
    }
    // Input without line ends is cut into lines of at most MAX_INPUT_LINE bytes rather
    // than held without end.
    if ((n <= 0 && !pending_.empty()) || pending_.size() >= MAX_INPUT_LINE) {
        lines.push_back(pending_);
        pending_.clear();
    }
    return n > 0;
}

void LineEditor::Print(const std::string& text) {
    if (!terminal_) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        return;
    }
    std::printf("\r\033[K%s\n", text.c_str());
    std::fflush(stdout);
    rl_forced_update_display();
}

}  // namespace cli
}  // namespace quorvane
