// A real terminal for tests of interactive programs: a tmux server of its own (its socket
// in the test's directory) runs one shell command in a window of a fixed size; the test
// types keys into it and reads the screen as a person would see it. The command's exit
// status and the terminal settings before and after it are written to files, and
// sanitizer reports of the program go to files of their own. Every wait is bounded.
#ifndef QUORVANE_TESTS_TMUXTERMINAL_H
#define QUORVANE_TESTS_TMUXTERMINAL_H

#include <string>
#include <vector>

namespace quorvane {
namespace test {

class TmuxTerminal {
public:
    // Runs the program with the arguments and NAME=VALUE environment entries in dir.
    TmuxTerminal(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, int columns = 100, int rows = 40);
    ~TmuxTerminal();
    TmuxTerminal(const TmuxTerminal&) = delete;
    TmuxTerminal& operator=(const TmuxTerminal&) = delete;

    bool Started() const { return started_; }
    // Text typed as it is.
    void Type(const std::string& text) const;
    // Keys by their tmux names: Enter, Tab, Up, C-c, C-d, C-l, ...
    void Press(const std::string& keys) const;
    void TypeLine(const std::string& text) const {
        Type(text);
        Press("Enter");
    }

    // The screen's lines with their trailing blanks, and trailing empty lines, dropped.
    std::vector<std::string> Screen() const;
    std::string ScreenText() const;
    std::string LastLine() const;
    // Waits until the screen shows the text somewhere; false (the screen is reported)
    // when it did not within the time.
    bool WaitForText(const std::string& text, int timeoutMs = 10000) const;
    // Waits until the last line of the screen is exactly the text.
    bool WaitForLastLine(const std::string& line, int timeoutMs = 10000) const;
    // Waits for the program's end; its exit status, or -1 when it did not end in time.
    int WaitForExit(int timeoutMs = 10000) const;
    // Whether the terminal's settings after the program are the ones before it.
    bool TerminalRestored() const;
    // What the sanitizers reported about the program, if anything.
    std::string SanitizerReports() const;

private:
    std::string Tmux(const std::vector<std::string>& args) const;
    std::string Read(const std::string& name) const;

    std::string dir_;
    std::string socket_;
    bool started_ = false;
};

}  // namespace test
}  // namespace quorvane

#endif
