// The terminal the prompt runs on: its settings as found, restored on every way out,
// and the two modes the prompt uses.
#ifndef QUORVANE_CLI_TERMINAL_H
#define QUORVANE_CLI_TERMINAL_H

#include <termios.h>

namespace quorvane {
namespace cli {

class Terminal {
public:
    // Remembers the settings of fd; IsTerminal() is false when fd is not a terminal.
    explicit Terminal(int fd);
    ~Terminal() { Restore(); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool IsTerminal() const { return terminal_; }
    // Editing: every key comes as typed, nothing is echoed, Ctrl+C and Ctrl+Z are keys.
    void Raw();
    // While a command runs: typing is not echoed, Ctrl+C sends SIGINT.
    void Busy();
    // The settings as they were found.
    void Restore();
    // The width of the window, 80 when it cannot be told.
    int Columns() const;

private:
    void Apply(const termios& settings);

    int fd_;
    bool terminal_;
    bool changed_ = false;
    termios saved_;
};

}  // namespace cli
}  // namespace quorvane

#endif
