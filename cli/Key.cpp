#include "Key.h"

namespace quorvane {
namespace cli {

namespace {

const char ESC = '\x1b';

// Control bytes, by value; the ones not named here are ignored.
KeyCode ControlKey(unsigned char byte) {
    switch (byte) {
    case 0x01: return KeyCode::HOME;
    case 0x02: return KeyCode::LEFT;
    case 0x03: return KeyCode::INTERRUPT;
    case 0x04: return KeyCode::END_OF_INPUT;
    case 0x05: return KeyCode::END;
    case 0x06: return KeyCode::RIGHT;
    case 0x07: return KeyCode::ABORT;
    case 0x08: return KeyCode::BACKSPACE;
    case 0x09: return KeyCode::TAB;
    case 0x0a: return KeyCode::ENTER;
    case 0x0b: return KeyCode::KILL_TO_END;
    case 0x0c: return KeyCode::CLEAR_SCREEN;
    case 0x0d: return KeyCode::ENTER;
    case 0x0e: return KeyCode::DOWN;
    case 0x10: return KeyCode::UP;
    case 0x12: return KeyCode::SEARCH_HISTORY;
    case 0x15: return KeyCode::KILL_TO_START;
    case 0x17: return KeyCode::KILL_WORD_BACK;
    case 0x19: return KeyCode::YANK;
    case 0x1a: return KeyCode::SUSPEND;
    case 0x7f: return KeyCode::BACKSPACE;
    default: return KeyCode::IGNORED;
    }
}

// The final letter of CSI and SS3 sequences (ESC [ A, ESC O A, ...).
KeyCode FinalKey(char final) {
    switch (final) {
    case 'A': return KeyCode::UP;
    case 'B': return KeyCode::DOWN;
    case 'C': return KeyCode::RIGHT;
    case 'D': return KeyCode::LEFT;
    case 'H': return KeyCode::HOME;
    case 'F': return KeyCode::END;
    default: return KeyCode::IGNORED;
    }
}

// ESC [ PARAMS FINAL, or 0 while incomplete.
size_t DecodeCsi(const std::string& bytes, size_t start, Key& key) {
    size_t i = start + 2;
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) >= 0x20 &&
           static_cast<unsigned char>(bytes[i]) <= 0x3f) {
        ++i;
    }
    if (i >= bytes.size()) return 0;
    const std::string params = bytes.substr(start + 2, i - start - 2);
    const char final = bytes[i];
    if (final == '~') {
        key.code = params == "1" || params == "7"   ? KeyCode::HOME
                   : params == "4" || params == "8" ? KeyCode::END
                   : params == "3"                  ? KeyCode::DELETE
                                                    : KeyCode::IGNORED;
    } else if (params.empty() || params == "1") {
        key.code = FinalKey(final);
    } else if ((params == "1;5" || params == "1;3") && (final == 'C' || final == 'D')) {
        // Ctrl or Alt with an arrow moves by words.
        key.code = final == 'C' ? KeyCode::WORD_RIGHT : KeyCode::WORD_LEFT;
    } else {
        key.code = KeyCode::IGNORED;
    }
    return i + 1 - start;
}

size_t DecodeEscape(const std::string& bytes, size_t start, Key& key) {
    if (start + 1 >= bytes.size()) return 0;
    const char next = bytes[start + 1];
    if (next == '[') return DecodeCsi(bytes, start, key);
    if (next == 'O') {
        if (start + 2 >= bytes.size()) return 0;
        key.code = FinalKey(bytes[start + 2]);
        return 3;
    }
    switch (next) {
    case 'b':
    case 'B': key.code = KeyCode::WORD_LEFT; break;
    case 'f':
    case 'F': key.code = KeyCode::WORD_RIGHT; break;
    case 'd':
    case 'D': key.code = KeyCode::KILL_WORD_FORWARD; break;
    case '\x7f':
    case '\x08': key.code = KeyCode::KILL_WORD_BACK; break;
    case ESC: key.code = KeyCode::IGNORED; return 1;  // the second ESC starts a key of its own
    default: key.code = KeyCode::IGNORED; break;
    }
    return 2;
}

// The length of the UTF-8 character a lead byte starts; 0 for a byte that starts none.
size_t Utf8Length(unsigned char lead) {
    if (lead >= 0xc2 && lead <= 0xdf) return 2;
    if (lead >= 0xe0 && lead <= 0xef) return 3;
    if (lead >= 0xf0 && lead <= 0xf4) return 4;
    return 0;
}

}  // namespace

size_t DecodeKey(const std::string& bytes, size_t pos, Key& key) {
    key = Key();
    if (pos >= bytes.size()) return 0;
    const unsigned char byte = static_cast<unsigned char>(bytes[pos]);
    if (byte == static_cast<unsigned char>(ESC)) return DecodeEscape(bytes, pos, key);
    if (byte < 0x20 || byte == 0x7f) {
        key.code = ControlKey(byte);
        return 1;
    }
    if (byte < 0x80) {
        key.code = KeyCode::TEXT;
        key.text = bytes.substr(pos, 1);
        return 1;
    }
    const size_t length = Utf8Length(byte);
    if (length == 0) return 1;  // a stray continuation or invalid byte
    for (size_t i = 1; i < length; ++i) {
        if (pos + i >= bytes.size()) return 0;
        if ((static_cast<unsigned char>(bytes[pos + i]) & 0xc0) != 0x80) return i;  // broken: dropped
    }
    key.code = KeyCode::TEXT;
    key.text = bytes.substr(pos, length);
    return length;
}

}  // namespace cli
}  // namespace quorvane
