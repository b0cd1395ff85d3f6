#include "History.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace quorvane {
namespace cli {

namespace {

// The first line of the files that earlier versions wrote; their lines are encoded with
// backslash escapes (\040 for a space, \\ for a backslash, \^X, \M-x).
const char* const ENCODED_HEADER = "_HiStOrY_V2_";

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

std::string Decode(const std::string& line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            out += line[i];
            continue;
        }
        const char next = line[++i];
        int meta = 0;
        if (next == 'M' && i + 2 < line.size() && (line[i + 1] == '-' || line[i + 1] == '^')) {
            meta = 0x80;
            if (line[i + 1] == '-') {
                out += static_cast<char>(line[i + 2] | meta);
                i += 2;
                continue;
            }
            ++i;  // \M^X: a control character with the meta bit
        }
        if ((next == '^' || meta != 0) && i + 1 < line.size()) {
            const char c = line[++i];
            out += static_cast<char>((c == '?' ? 0x7f : (c & 0x1f)) | meta);
        } else if (IsOctal(next) && i + 2 < line.size() && IsOctal(line[i + 1]) && IsOctal(line[i + 2])) {
            out += static_cast<char>(((next - '0') << 6) | ((line[i + 1] - '0') << 3) | (line[i + 2] - '0'));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

}  // namespace

void History::Keep(const std::string& line) {
    if (line.empty() || line.find('\n') != std::string::npos || (keep_ && !keep_(line))) return;
    if (!entries_.empty() && entries_.back() == line) return;
    entries_.push_back(line);
    if (entries_.size() > MAX_ENTRIES) entries_.erase(entries_.begin());
}

void History::Load(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    bool first = true;
    bool encoded = false;
    while (std::getline(in, line)) {
        if (first && line == ENCODED_HEADER) {
            encoded = true;
        } else {
            Keep(encoded ? Decode(line) : line);
        }
        first = false;
    }
    position_ = entries_.size();
}

bool History::Save(const std::string& path) const {
    // Written beside the file and renamed over it, so a failed save keeps the old one.
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::string text;
    for (const std::string& entry : entries_) text += entry + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

void History::Add(const std::string& line) {
    Keep(line);
    position_ = entries_.size();
    draft_.clear();
}

bool History::Older(std::string& line) {
    if (position_ == 0) return false;
    if (position_ == entries_.size()) draft_ = line;
    line = entries_[--position_];
    return true;
}

bool History::Newer(std::string& line) {
    if (position_ >= entries_.size()) return false;
    ++position_;
    line = position_ == entries_.size() ? draft_ : entries_[position_];
    return true;
}

}  // namespace cli
}  // namespace quorvane
