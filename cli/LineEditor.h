// The interactive prompt: line editing, history and completion on a terminal (libedit),
// plain line reading when standard input is not one. Fed from the client's poll loop,
// so the server's lines can be printed while a line is being typed.
#ifndef QUORVANE_CLI_LINEEDITOR_H
#define QUORVANE_CLI_LINEEDITOR_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quorvane {
namespace cli {

class LineEditor {
public:
    // Candidates for the word being completed, given the line before that word.
    typedef std::function<std::vector<std::string>(const std::string& before, const std::string& word)> Completer;

    // Only one editor may exist at a time: libedit keeps its state in globals.
    LineEditor(const std::string& prompt, Completer completer);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    static constexpr size_t MAX_INPUT_LINE = 65536;

    int Fd() const { return 0; }
    bool IsTerminal() const { return terminal_; }
    // Takes what standard input has ready; complete lines are appended. False at its end.
    bool OnReadable(std::vector<std::string>& lines);
    // Prints a line of text above the line being typed, which is then drawn again.
    void Print(const std::string& text);

private:
    static void OnLine(char* line);

    bool terminal_;
    bool ended_ = false;
    std::string prompt_;
    std::string pending_;  // stdin bytes without their LF yet (not a terminal)
    std::vector<std::string> typed_;
    Completer completer_;
    std::string historyFile_;
};

}  // namespace cli
}  // namespace quorvane

#endif
