#include "HistorySearch.h"

#include <algorithm>

namespace quorvane {
namespace cli {

void HistorySearch::Begin(const std::string& line) {
    active_ = true;
    failed_ = false;
    text_.clear();
    saved_ = line;
    at_ = history_.Entries().size();
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the text first stands in the line, letter case aside; npos when nowhere.
size_t FindNoCase(const std::string& line, const std::string& text) {
    const auto at = std::search(line.begin(), line.end(), text.begin(), text.end(),
                                [](char a, char b) { return Lower(a) == Lower(b); });
    return at == line.end() && !text.empty() ? std::string::npos : static_cast<size_t>(at - line.begin());
}

}  // namespace

bool HistorySearch::Find(size_t before, EditBuffer& line) {
    const std::vector<std::string>& entries = history_.Entries();
    for (size_t i = std::min(before, entries.size()); i-- > 0;) {
        const size_t found = FindNoCase(entries[i], text_);
        if (found == std::string::npos) continue;
        at_ = i;
        failed_ = false;
        line.Set(entries[i], found);
        return true;
    }
    failed_ = true;
    return false;
}

bool HistorySearch::Take(const Key& key, EditBuffer& line) {
    const size_t newest = history_.Entries().size();
    switch (key.code) {
    case KeyCode::SEARCH_HISTORY:
        if (!text_.empty()) Find(at_, line);
        return true;
    case KeyCode::TEXT:
        text_ += key.text;
        Find(at_ == newest ? newest : at_ + 1, line);  // the line shown may still hold it
        return true;
    case KeyCode::BACKSPACE:
        // A whole character: its continuation bytes, then its first byte.
        while (!text_.empty()) {
            const unsigned char last = static_cast<unsigned char>(text_.back());
            text_.pop_back();
            if ((last & 0xc0) != 0x80) break;
        }
        at_ = newest;
        failed_ = false;
        if (text_.empty()) line.Set(saved_);
        else Find(newest, line);
        return true;
    case KeyCode::ABORT:
        active_ = false;
        line.Set(saved_);
        return true;
    default: active_ = false; return false;
    }
}

std::string HistorySearch::Prompt() const {
    return std::string(failed_ ? "(no earlier line holds: " : "(search: ") + text_ + ") ";
}

}  // namespace cli
}  // namespace quorvane
