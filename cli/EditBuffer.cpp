#include "EditBuffer.h"

#include <algorithm>

namespace quorvane {
namespace cli {

namespace {

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }
bool IsSpace(char c) { return c == ' ' || c == '\t'; }

}  // namespace

size_t EditBuffer::Columns(const std::string& text) {
    size_t columns = 0;
    for (char c : text) columns += IsContinuation(c) ? 0 : 1;
    return columns;
}

size_t EditBuffer::PreviousChar(size_t from) const {
    if (from == 0) return 0;
    do {
        --from;
    } while (from > 0 && IsContinuation(text_[from]));
    return from;
}

size_t EditBuffer::NextChar(size_t from) const {
    if (from >= text_.size()) return text_.size();
    do {
        ++from;
    } while (from < text_.size() && IsContinuation(text_[from]));
    return from;
}

// Words are runs of anything but blanks, so a channel path or a file name is one word.
size_t EditBuffer::PreviousWord(size_t from) const {
    while (from > 0 && IsSpace(text_[from - 1])) --from;
    while (from > 0 && !IsSpace(text_[from - 1])) --from;
    return from;
}

size_t EditBuffer::NextWord(size_t from) const {
    while (from < text_.size() && IsSpace(text_[from])) ++from;
    while (from < text_.size() && !IsSpace(text_[from])) ++from;
    return from;
}

void EditBuffer::Kill(size_t from, size_t to) {
    if (from >= to) return;
    killed_ = text_.substr(from, to - from);
    text_.erase(from, to - from);
    cursor_ = from;
}

void EditBuffer::Insert(const std::string& text) {
    if (text_.size() + text.size() > MAX_LENGTH) return;
    text_.insert(cursor_, text);
    cursor_ += text.size();
}

void EditBuffer::Set(const std::string& text, size_t cursor) {
    text_ = text.substr(0, MAX_LENGTH);
    cursor_ = std::min(cursor, text_.size());
}

void EditBuffer::ReplaceBeforeCursor(size_t from, const std::string& text) {
    if (from > cursor_) return;
    text_.erase(from, cursor_ - from);
    cursor_ = from;
    Insert(text);
}

bool EditBuffer::Apply(const Key& key) {
    switch (key.code) {
    case KeyCode::TEXT: Insert(key.text); return true;
    case KeyCode::BACKSPACE: {
        const size_t from = PreviousChar(cursor_);
        text_.erase(from, cursor_ - from);
        cursor_ = from;
        return true;
    }
    case KeyCode::DELETE:
    case KeyCode::END_OF_INPUT: text_.erase(cursor_, NextChar(cursor_) - cursor_); return true;
    case KeyCode::LEFT: cursor_ = PreviousChar(cursor_); return true;
    case KeyCode::RIGHT: cursor_ = NextChar(cursor_); return true;
    case KeyCode::HOME: cursor_ = 0; return true;
    case KeyCode::END: cursor_ = text_.size(); return true;
    case KeyCode::WORD_LEFT: cursor_ = PreviousWord(cursor_); return true;
    case KeyCode::WORD_RIGHT: cursor_ = NextWord(cursor_); return true;
    case KeyCode::KILL_WORD_BACK: Kill(PreviousWord(cursor_), cursor_); return true;
    case KeyCode::KILL_WORD_FORWARD: Kill(cursor_, NextWord(cursor_)); return true;
    case KeyCode::KILL_TO_END: Kill(cursor_, text_.size()); return true;
    case KeyCode::KILL_TO_START: Kill(0, cursor_); return true;
    case KeyCode::YANK: Insert(killed_); return true;
    default: return false;
    }
}

}  // namespace cli
}  // namespace quorvane
