#include "protocol/CommandLine.h"

#include <charconv>
#include <limits>
#include <string_view>

namespace quorvane {

namespace {

const char SPACE = ' ';
const char QUOTE = '"';
const char BACKSLASH = '\\';

size_t SkipSpaces(const std::string& line, size_t pos) {
    while (pos < line.size() && line[pos] == SPACE) ++pos;
    return pos;
}

// Walks the parameters of a whole line (command word included) and hands each name and
// its raw, still escaped value to visit(name, raw) in line order. Answers false when the
// line is malformed; visit may then already have seen some parameters, so callers only
// trust what they collected after a true answer. Nothing is copied here.
template <typename Visitor>
bool ScanParameters(const std::string& line, Visitor&& visit) {
    const size_t end = line.size();
    if (end == 0) return false;
    size_t pos = line.find(SPACE);
    if (pos == std::string::npos) return false;

    const std::string_view text(line);
    while (pos < end) {
        pos = SkipSpaces(line, pos);
        if (pos == end) return true;  // trailing spaces

        const size_t nameBegin = pos;
        while (pos < end && line[pos] != SPACE && line[pos] != '=') ++pos;
        if (pos == end) return false;  // a name alone at the end
        const std::string_view name = text.substr(nameBegin, pos - nameBegin);

        pos = SkipSpaces(line, pos);
        if (pos == end || line[pos] != '=') return false;
        pos = SkipSpaces(line, pos + 1);
        if (pos == end) return false;  // name= with no value

        std::string_view raw;
        if (line[pos] == QUOTE) {
            size_t i = pos + 1;
            while (i < end && line[i] != QUOTE) {
                // An escaped byte is stepped over unexamined, so \" does not close.
                i += (line[i] == BACKSLASH) ? 2 : 1;
            }
            if (i >= end) return false;
            raw = text.substr(pos + 1, i - pos - 1);
            pos = i + 2;  // the byte after the closing quote is skipped unexamined
        } else if (line[pos] == '[') {
            const size_t close = line.find(']', pos + 1);
            if (close == std::string::npos) return false;
            raw = text.substr(pos + 1, close - pos - 1);
            pos = close + 2;  // as for quotes, one byte is skipped
        } else {
            size_t stop = line.find(SPACE, pos);
            if (stop == std::string::npos) stop = end;
            raw = text.substr(pos, stop - pos);
            pos = stop;
        }
        visit(name, raw);
    }
    return true;
}

// Finds the raw value of the last occurrence of name in a well-formed line.
bool FindRawParam(const std::string& line, const std::string& name, std::string_view& raw) {
    bool found = false;
    std::string_view last;
    const bool ok = ScanParameters(line, [&](std::string_view n, std::string_view r) {
        if (n == name) {
            last = r;
            found = true;
        }
    });
    if (!ok || !found) return false;
    raw = last;
    return true;
}

// Replaces every non-overlapping occurrence, left to right. Searching the original text
// from just after each match is the same as resuming after the inserted replacement.
void ReplaceAllIn(std::string& text, std::string_view find, std::string_view replacement) {
    if (find.empty()) return;
    size_t pos = text.find(find);
    if (pos == std::string::npos) return;
    std::string result;
    result.reserve(text.size());
    size_t from = 0;
    do {
        result.append(text, from, pos - from);
        result.append(replacement);
        from = pos + find.size();
        pos = text.find(find, from);
    } while (pos != std::string::npos);
    result.append(text, from, std::string::npos);
    text.swap(result);
}

std::string Unescape(std::string_view raw) {
    std::string text(raw);
    if (raw.find(BACKSLASH) == std::string_view::npos) return text;
    // The three passes and their order are part of the protocol: a fused scanner would
    // read inputs such as \\r\n differently.
    ReplaceAllIn(text, "\\r\\n", "\r\n");
    ReplaceAllIn(text, "\\\"", "\"");
    ReplaceAllIn(text, "\\\\", "\\");
    return text;
}

// One pass that gives the same bytes as the three escaping passes (backslashes, then
// quotes, then CR LF pairs): none of them produces a byte that a later pass looks for.
void AppendEscaped(std::string& out, const std::string& text) {
    const size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (c == BACKSLASH) {
            out += "\\\\";
        } else if (c == QUOTE) {
            out += "\\\"";
        } else if (c == '\r' && i + 1 < size && text[i + 1] == '\n') {
            out += "\\r\\n";
            ++i;
        } else {
            out += c;
        }
    }
}

template <typename Int>
void AppendDecimal(std::string& out, Int value) {
    char digits[24];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, r.ptr);
}

void AppendNameAndEquals(std::string& line, const std::string& name) {
    line += SPACE;
    line += name;
    line += '=';
}

void AppendIntList(std::string& out, const std::set<int>& values) {
    out += '[';
    bool first = true;
    for (int value : values) {
        if (!first) out += ',';
        first = false;
        AppendDecimal(out, value);
    }
    out += ']';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The white space that formatted stream extraction skips in the classic locale.
bool IsStreamSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads a signed 64-bit decimal the way `stream >> int64` does: leading white space,
// optional sign, at least one digit, stop at the first other byte. Out-of-range numbers
// fail, as the stream's failbit does.
bool ExtractInt64(const std::string& text, int64_t& out) {
    size_t i = 0;
    const size_t size = text.size();
    while (i < size && IsStreamSpace(text[i])) ++i;
    bool negative = false;
    if (i < size && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == size || !IsDigit(text[i])) return false;
    const uint64_t limit =
        negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1 : uint64_t(std::numeric_limits<int64_t>::max());
    uint64_t magnitude = 0;
    for (; i < size && IsDigit(text[i]); ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

// --- Framing ---

bool SplitFirstLine(const std::string& buffer, std::string& line, std::string& rest) {
    const size_t lf = buffer.find('\n');
    if (lf == std::string::npos) return false;
    const size_t lineSize = lf + 1;
    // Callers commonly pass their receive buffer as rest (or as line): cut in place then.
    if (&rest == &buffer) {
        line.assign(buffer, 0, lineSize);
        rest.erase(0, lineSize);
    } else if (&line == &buffer) {
        rest.assign(buffer, lineSize, std::string::npos);
        line.erase(lineSize);
    } else {
        line.assign(buffer, 0, lineSize);
        rest.assign(buffer, lineSize, std::string::npos);
    }
    return true;
}

std::string StripLineEnding(const std::string& line) {
    const size_t size = line.size();
    if (size < 2) return line;
    if (line[size - 2] == '\r' && line[size - 1] == '\n') return line.substr(0, size - 2);
    if (line[size - 1] == '\n') return line.substr(0, size - 1);
    return line;
}

bool ExtractCommand(const std::string& line, std::string& word) {
    size_t pos = 0;
    while (pos < line.size() && line[pos] != SPACE && line[pos] != '\r' && line[pos] != '\n') ++pos;
    if (pos == 0) return false;
    word.assign(line, 0, pos);
    return true;
}

// --- Parsing ---

bool ParseParameters(const std::string& line, ParameterSet& params) {
    ParameterSet parsed;
    const bool ok = ScanParameters(line, [&parsed](std::string_view name, std::string_view raw) {
        parsed.insert_or_assign(std::string(name), Unescape(raw));
    });
    if (!ok) return false;
    params.swap(parsed);
    return true;
}

bool HasSyntaxError(const std::string& line) {
    size_t pos = 0;
    while (pos < line.size() && line[pos] != SPACE) ++pos;
    // A bare command word is well formed although ParseParameters refuses it.
    if (SkipSpaces(line, pos) == line.size()) return false;
    return !ScanParameters(line, [](std::string_view, std::string_view) {});
}

bool GetStringParam(const std::string& line, const std::string& name, std::string& out) {
    std::string_view raw;
    if (!FindRawParam(line, name, raw)) return false;
    out = Unescape(raw);
    return true;
}

bool GetIntParam(const std::string& line, const std::string& name, int& out) {
    std::string value;
    if (!GetStringParam(line, name, value) || !IsNumber(value)) return false;
    const bool negative = value[0] == '-';
    // atoi's result is undefined out of range, so such numbers count as not numbers.
    const uint64_t limit =
        negative ? uint64_t(std::numeric_limits<int>::max()) + 1 : uint64_t(std::numeric_limits<int>::max());
    uint64_t magnitude = 0;
    for (size_t i = negative ? 1 : 0; i < value.size(); ++i) {
        magnitude = magnitude * 10 + static_cast<unsigned>(value[i] - '0');
        if (magnitude > limit) return false;
    }
    out = negative ? static_cast<int>(-static_cast<int64_t>(magnitude)) : static_cast<int>(magnitude);
    return true;
}

bool GetBoolParam(const std::string& line, const std::string& name, bool& out) {
    int value = 0;
    if (!GetIntParam(line, name, value)) return false;
    out = value != 0;
    return true;
}

bool GetInt64Param(const std::string& line, const std::string& name, int64_t& out) {
    std::string value;
    if (!GetStringParam(line, name, value)) return false;
    // Present is enough for true; a text that is not a number leaves out as it was.
    int64_t number = 0;
    if (ExtractInt64(value, number)) out = number;
    return true;
}

bool IsNumber(const std::string& text) {
    if (text.empty()) return false;
    for (size_t i = (text[0] == '-') ? 1 : 0; i < text.size(); ++i) {
        if (!IsDigit(text[i])) return false;
    }
    return true;
}

// --- Escaping ---

void ReplaceAll(std::string& text, const std::string& find, const std::string& replacement) {
    ReplaceAllIn(text, find, replacement);
}

std::string EscapeString(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size() + 8);
    AppendEscaped(escaped, text);
    return escaped;
}

std::string UnescapeString(const std::string& text) { return Unescape(text); }

// --- Serialising ---

void AppendIntParam(std::string& line, const std::string& name, int value) {
    AppendNameAndEquals(line, name);
    AppendDecimal(line, value);
}

void AppendBoolParam(std::string& line, const std::string& name, bool value) {
    AppendIntParam(line, name, value ? 1 : 0);
}

void AppendInt64Param(std::string& line, const std::string& name, int64_t value) {
    AppendNameAndEquals(line, name);
    AppendDecimal(line, value);
}

void AppendStringParam(std::string& line, const std::string& name, const std::string& value) {
    AppendNameAndEquals(line, name);
    line += QUOTE;
    AppendEscaped(line, value);
    line += QUOTE;
}

void AppendListParam(std::string& line, const std::string& name, const std::set<int>& values) {
    AppendNameAndEquals(line, name);
    AppendIntList(line, values);
}

// --- Comparison ---

std::string ToLower(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) c = LowerAscii(c);
    return lower;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

}  // namespace quorvane
