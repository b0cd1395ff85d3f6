// Cuts input that is not typed at a terminal (a pipe, a file) into lines: LF or CR LF
// ends one, and input without line ends is cut every MAX_LINE bytes rather than held
// without end.
#ifndef QUORVANE_CLI_LINESPLITTER_H
#define QUORVANE_CLI_LINESPLITTER_H

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace quorvane {
namespace cli {

class LineSplitter {
public:
    static constexpr size_t MAX_LINE = 65536;
    enum Result { GOT_LINE, WAITING, FINISHED };

    // Reads what fd has ready (one read); false once it has ended.
    bool ReadFrom(int fd) {
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n > 0) pending_.append(chunk, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) ended_ = true;
        return !ended_;
    }

    Result Next(std::string& line) {
        const size_t lf = pending_.find('\n');
        if (lf != std::string::npos && lf < MAX_LINE) {
            line = pending_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pending_.erase(0, lf + 1);
            return GOT_LINE;
        }
        if (pending_.size() >= MAX_LINE || (ended_ && !pending_.empty())) {
            line = pending_.substr(0, MAX_LINE);
            pending_.erase(0, line.size());
            return GOT_LINE;
        }
        return ended_ ? FINISHED : WAITING;
    }

    // Next would not answer WAITING.
    bool Ready() const { return ended_ || pending_.find('\n') != std::string::npos || pending_.size() >= MAX_LINE; }

private:
    std::string pending_;
    bool ended_ = false;
};

}  // namespace cli
}  // namespace quorvane

#endif
