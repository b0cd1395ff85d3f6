// The fixed 512-byte text fields of the stored records: at most 511 bytes and a NUL.
#ifndef QUORVANE_SETTINGS_FIXEDTEXT_H
#define QUORVANE_SETTINGS_FIXEDTEXT_H

#include <algorithm>
#include <cstring>
#include <string>

namespace quorvane {

// Cuts text to the field and terminates it. A cut falls between UTF-8 characters, so that
// the file the record is written to stays valid UTF-8.
template <size_t N>
void CopyFixedText(char (&field)[N], const std::string& text) {
    size_t length = std::min(text.size(), N - 1);
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    memcpy(field, text.data(), length);
    field[length] = '\0';
}

// A record handed in may fill its whole field without a terminator.
template <size_t N>
std::string FixedText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace quorvane

#endif
