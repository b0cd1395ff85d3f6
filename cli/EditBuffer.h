// The line being typed: its UTF-8 text, the cursor (a byte offset on a character
// boundary) and the text last killed, changed by the editing keys. No terminal here.
#ifndef QUORVANE_CLI_EDITBUFFER_H
#define QUORVANE_CLI_EDITBUFFER_H

#include <cstddef>
#include <string>

#include "Key.h"

namespace quorvane {
namespace cli {

class EditBuffer {
public:
    // A typed line longer than this is not a command: further text is refused.
    static constexpr size_t MAX_LENGTH = 65536;

    // Applies an editing key; false for keys that are not about the text (Enter, Tab,
    // history, Ctrl+C, ...), which the editor handles itself.
    bool Apply(const Key& key);

    void Insert(const std::string& text);
    // Replaces the whole line; the cursor goes to its end, or to the byte offset given.
    void Set(const std::string& text, size_t cursor = std::string::npos);
    // Replaces the bytes [from, cursor) with the text, the cursor after it (completion).
    void ReplaceBeforeCursor(size_t from, const std::string& text);
    void Clear() { Set(""); }

    const std::string& Text() const { return text_; }
    size_t Cursor() const { return cursor_; }
    bool Empty() const { return text_.empty(); }

    // Characters (not bytes) in text: the columns it takes on the screen.
    static size_t Columns(const std::string& text);

private:
    size_t PreviousChar(size_t from) const;
    size_t NextChar(size_t from) const;
    size_t PreviousWord(size_t from) const;
    size_t NextWord(size_t from) const;
    // Removes [from, to), keeping the text for Ctrl+Y.
    void Kill(size_t from, size_t to);

    std::string text_;
    size_t cursor_ = 0;
    std::string killed_;
};

}  // namespace cli
}  // namespace quorvane

#endif
