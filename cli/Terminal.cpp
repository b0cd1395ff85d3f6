#include "Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace quorvane {
namespace cli {

Terminal::Terminal(int fd) : fd_(fd), terminal_(::isatty(fd) == 1 && ::tcgetattr(fd, &saved_) == 0) {}

void Terminal::Apply(const termios& settings) {
    // TCSADRAIN: keys typed ahead stay for the prompt to read.
    if (terminal_ && ::tcsetattr(fd_, TCSADRAIN, &settings) == 0) changed_ = true;
}

void Terminal::Raw() {
    termios raw = saved_;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    // Output processing stays on, so every other write may keep using "\n".
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    Apply(raw);
}

void Terminal::Busy() {
    termios busy = saved_;
    busy.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
    busy.c_lflag |= ISIG;
    busy.c_cc[VMIN] = 1;
    busy.c_cc[VTIME] = 0;
    Apply(busy);
}

void Terminal::Restore() {
    if (changed_) ::tcsetattr(fd_, TCSADRAIN, &saved_);
    changed_ = false;
}

int Terminal::Columns() const {
    winsize size = {};
    if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace cli
}  // namespace quorvane
