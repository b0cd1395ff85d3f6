#include "settings/StoredText.h"

#include <cstdint>

namespace quorvane {

const char* const StoredText::MARK = "latin1";
const char* const StoredText::ELEMENT_MARK_ATTRIBUTE = "bytes";

std::string StoredText::AttributeMarkName(const std::string& attribute) { return attribute + "-bytes"; }

namespace {

const uint32_t CONTROL_PICTURES = 0x2400;

bool IsXmlCharacter(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// The character that starts at text[i] and its length in bytes; false unless it is the
// shortest form of a code point.
bool DecodeUtf8(const std::string& text, size_t i, uint32_t& c, size_t& length) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    static const uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        c = (c << 6) | (next & 0x3F);
    }
    return c >= SMALLEST[length] && !(c >= 0xD800 && c <= 0xDFFF) && c <= 0x10FFFF;
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool StoredText::IsPlain(const std::string& bytes) {
    for (size_t i = 0, length = 0; i < bytes.size(); i += length) {
        uint32_t c = 0;
        if (!DecodeUtf8(bytes, i, c, length) || !IsXmlCharacter(c)) return false;
    }
    const bool blank = !bytes.empty() && bytes.find_first_not_of(" \t\r\n") == std::string::npos;
    return !blank || bytes.find('\r') == std::string::npos;
}

std::string StoredText::Encode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const unsigned char b = static_cast<unsigned char>(byte);
        AppendUtf8(text, b < 0x20 ? CONTROL_PICTURES + b : b);
    }
    return text;
}

std::string StoredText::Decode(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        uint32_t c = 0;
        if (!DecodeUtf8(text, i, c, length)) {
            length = 1;  // not UTF-8 after all: the byte as it is
            bytes += text[i];
        } else if (c <= 0xFF) {
            bytes += static_cast<char>(c);
        } else if (c >= CONTROL_PICTURES && c < CONTROL_PICTURES + 0x20) {
            bytes += static_cast<char>(c - CONTROL_PICTURES);
        } else {
            bytes.append(text, i, length);
        }
    }
    return bytes;
}

}  // namespace quorvane
