#include "server/CommandContext.h"

#include <climits>
#include <cstring>

#include "protocol/CommandLine.h"
#include "protocol/ErrorCodes.h"
#include "server/LineWriter.h"
#include "server/ServerUser.h"
#include "settings/ValueRules.h"

namespace quorvane {
namespace server {

namespace {

// The longest value each text parameter may have, in bytes: what the persistence files
// keep for names, passwords and topics, and a screenful for a message. Channel paths are
// capped per name; the line's own cap bounds how many names there are.
struct TextCap {
    const char* name;
    size_t limit;
    bool perName;  // a channel path: each name between slashes
};

const TextCap TEXT_CAPS[] = {
    {"nickname", 511, false},      {"topic", 511, false},      {"password", 511, false}, {"serverpassword", 511, false},
    {"statusmessage", 511, false}, {"filename", 511, false},   {"content", 8192, false}, {"channel", 511, true},
    {"srcchannel", 511, true},     {"destchannel", 511, true},
};

bool WithinCap(const char* name, const std::string& value) {
    for (const TextCap& cap : TEXT_CAPS) {
        if (std::strcmp(cap.name, name) != 0) continue;
        if (!cap.perName) return value.size() <= cap.limit;
        size_t start = 0;
        for (;;) {
            const size_t slash = value.find('/', start);
            const size_t end = slash == std::string::npos ? value.size() : slash;
            if (end - start > cap.limit) return false;
            if (slash == std::string::npos) return true;
            start = slash + 1;
        }
    }
    return true;
}

// Text is bytes: any but NUL, which no line can carry to other clients intact, within
// the parameter's cap (the files keep every such value byte for byte). Either failing is
// refused like a missing value.
bool Acceptable(const char* name, const std::string& value) {
    return ValueRules::IsAcceptableText(value, std::string::npos) && WithinCap(name, value);
}

// A decimal number with an optional minus sign that fits 64 bits; nothing else.
bool ParseInt64(const std::string& text, int64_t& out) {
    if (!IsNumber(text)) return false;
    const bool negative = text[0] == '-';
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    uint64_t magnitude = 0;
    for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace

bool CommandContext::RequireString(const char* name, int error, std::string& out) {
    if (GetStringParam(line, name, out) && Acceptable(name, out)) return true;
    return Succeeded(error);
}

bool CommandContext::OptionalString(const char* name, int error, std::string& out) {
    out.clear();
    if (!GetStringParam(line, name, out) || Acceptable(name, out)) return true;
    return Succeeded(error);
}

bool CommandContext::RequireInt(const char* name, int error, int& out) {
    int value = 0;
    if (!GetIntParam(line, name, value) || !ValueRules::InRange(name, value)) return Succeeded(error);
    out = value;
    return true;
}

bool CommandContext::RequireInt64(const char* name, int error, int64_t& out) {
    std::string text;
    int64_t value = 0;
    if (!GetStringParam(line, name, text) || !ParseInt64(text, value) || !ValueRules::InRange(name, value))
        return Succeeded(error);
    out = value;
    return true;
}

bool CommandContext::OptionalInt64(const char* name, int error, int64_t& out) {
    std::string text;
    if (GetStringParam(line, name, text)) return RequireInt64(name, error, out);
    out = 0;
    return true;
}

bool CommandContext::RequireBool(const char* name, int error, bool& out) {
    return GetBoolParam(line, name, out) || Succeeded(error);
}

bool CommandContext::Permitted() {
    const int refusal = AccessPolicy::CheckChannel(rule_, user, line, parts.tree, parts.properties);
    if (refusal == ERR_SUCCESS) return true;
    user.SendLine(rejectsAsFile_ ? LineWriter::FileRejected(refusal) : LineWriter::Error(refusal));
    return false;
}

bool CommandContext::Succeeded(int code) {
    if (code == ERR_SUCCESS) return true;
    user.SendError(code);
    return false;
}

}  // namespace server
}  // namespace quorvane
