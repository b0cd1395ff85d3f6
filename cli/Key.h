// The keys of a terminal in raw mode, decoded from the bytes it sends: printable text
// (UTF-8), control keys and the escape sequences of arrows, Home, End and Delete.
#ifndef QUORVANE_CLI_KEY_H
#define QUORVANE_CLI_KEY_H

#include <cstddef>
#include <string>

namespace quorvane {
namespace cli {

enum class KeyCode {
    TEXT,  // Key::text holds one character
    ENTER,
    TAB,
    BACKSPACE,
    DELETE,
    LEFT,
    RIGHT,
    UP,
    DOWN,
    HOME,
    END,
    WORD_LEFT,
    WORD_RIGHT,
    KILL_WORD_BACK,     // Ctrl+W, Alt+Backspace
    KILL_WORD_FORWARD,  // Alt+D
    KILL_TO_END,        // Ctrl+K
    KILL_TO_START,      // Ctrl+U
    YANK,               // Ctrl+Y
    CLEAR_SCREEN,       // Ctrl+L
    INTERRUPT,          // Ctrl+C
    END_OF_INPUT,       // Ctrl+D: quits on an empty line, deletes otherwise
    SUSPEND,            // Ctrl+Z
    SEARCH_HISTORY,     // Ctrl+R
    ABORT,              // Ctrl+G: ends a history search, giving back the line as it was
    IGNORED,            // a key this editor has no use for
};

struct Key {
    KeyCode code = KeyCode::IGNORED;
    std::string text;
};

// Decodes the key that starts at pos. Answers the number of bytes it took, or 0 when the
// bytes end inside a key (the rest of it comes with the next read).
size_t DecodeKey(const std::string& bytes, size_t pos, Key& key);

}  // namespace cli
}  // namespace quorvane

#endif
