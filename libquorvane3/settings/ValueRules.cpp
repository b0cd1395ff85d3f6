#include "settings/ValueRules.h"

#include <climits>

namespace quorvane {

namespace {

const ValueRules::Range RANGES[] = {
    {"hostport", 1, 65535},
    {"soundport", 1, 65535},
    {"max-users", 0, INT32_MAX},
    {"max-connections-per-address", 0, INT32_MAX},
    {"password-lockout", 0, INT32_MAX},
    {"login-timeout", 0, INT32_MAX / 1000},
    {"max-channels", 0, INT32_MAX},
    {"root-diskquota", 0, INT64_MAX},
    {"channel-diskquota", 0, INT64_MAX},
    {"diskquota", 0, INT64_MAX},
    {"filesize", 0, INT64_MAX},
    {"transfer-timeout", 0, INT32_MAX / 1000},
    {"command-rate", 0, INT32_MAX},
    {"command-burst", 0, INT32_MAX},
    {"max-files-per-channel", 0, INT32_MAX},
    {"max-files", 0, INT32_MAX},
    {"max-output-queue", 0, INT64_MAX},
};

}  // namespace

const ValueRules::Range* ValueRules::FindRange(const std::string& name) {
    for (const Range& range : RANGES)
        if (name == range.name) return &range;
    return nullptr;
}

bool ValueRules::InRange(const std::string& name, int64_t value) {
    const Range* range = FindRange(name);
    return range == nullptr || (value >= range->low && value <= range->high);
}

namespace {

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
    return c >= SMALLEST[length] && !(c >= 0xD800 && c <= 0xDFFF);
}

}  // namespace

bool ValueRules::IsStorableText(const std::string& text, size_t limit) {
    if (text.size() > limit) return false;
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        uint32_t c = 0;
        if (!DecodeUtf8(text, i, c, length) || !IsXmlCharacter(c)) return false;
    }
    const bool blank = !text.empty() && text.find_first_not_of(" \t\r\n") == std::string::npos;
    return !blank || text.find('\r') == std::string::npos;
}

}  // namespace quorvane
