#include "settings/MarkupScan.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quorvane {

namespace {

const char* const BLANKS = " \t\r\n";

// Walks the text keeping the line and column of where it stands.
class Cursor {
public:
    explicit Cursor(const std::string& text) : text_(text) {}

    bool AtEnd() const { return at_ >= text_.size(); }
    bool LooksAt(const char* what) const { return text_.compare(at_, std::strlen(what), what) == 0; }
    char Current() const { return text_[at_]; }
    size_t Position() const { return at_; }
    int Line() const { return line_; }
    int Column() const { return column_; }

    void Advance(size_t count) {
        for (; count > 0 && at_ < text_.size(); --count, ++at_) {
            const char c = text_[at_];
            // CR LF, a lone CR and a lone LF each end a line, as the parser counts them.
            if (c == '\n' || (c == '\r' && (at_ + 1 == text_.size() || text_[at_ + 1] != '\n'))) {
                ++line_;
                column_ = 1;
            } else if (c != '\r') {
                ++column_;
            }
        }
    }
    // Moves past the end marker; false (left where it was) when there is none.
    bool SkipPast(const char* end) {
        const size_t found = text_.find(end, at_);
        if (found == std::string::npos) return false;
        Advance(found + std::strlen(end) - at_);
        return true;
    }
    void SkipBlanks() {
        while (!AtEnd() && Current() != '\0' && std::strchr(BLANKS, Current()) != nullptr) Advance(1);
    }
    // The characters from here up to one of the stops.
    std::string Name(const char* stops) {
        const size_t end = std::min(text_.find_first_of(stops, at_), text_.size());
        std::string name = text_.substr(at_, end - at_);
        Advance(name.size());
        return name;
    }

private:
    const std::string& text_;
    size_t at_ = 0;
    int line_ = 1;
    int column_ = 1;
};

struct Opened {
    std::string name;
    int line;
    int column;
};

bool StartsName(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

bool Found(MarkupScan::Fault& fault, const std::string& what, int line, int column) {
    fault.what = what;
    fault.line = line;
    fault.column = column;
    return true;
}

// Past the rest of a start tag (attributes, quoted values); false when a "<" or the end
// of the text comes first. selfClosed: it ended with "/>".
bool SkipTagRest(Cursor& cursor, bool& selfClosed) {
    char quote = 0;
    char previous = 0;
    for (; !cursor.AtEnd(); cursor.Advance(1)) {
        const char c = cursor.Current();
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '<') {
            return false;
        } else if (c == '>') {
            selfClosed = previous == '/';
            cursor.Advance(1);
            return true;
        }
        previous = c;
    }
    return false;
}

}  // namespace

// The parser recurses once per level and would overflow its stack on an absurdly deep
// document, so this is checked first.
size_t MarkupScan::NestingDepth(const std::string& text) {
    size_t depth = 0, deepest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '<') continue;
        const char next = text[i + 1];
        if (next == '/') {
            if (depth > 0) --depth;
        } else if (next != '!' && next != '?') {
            const size_t end = text.find('>', i);
            if (end == std::string::npos) break;
            if (text[end - 1] != '/' && ++depth > deepest) deepest = depth;
            i = end;
        }
    }
    return deepest;
}

bool MarkupScan::FindFault(const std::string& text, Fault& fault) {
    static const struct {
        const char* begin;
        const char* end;
        const char* what;
    } SECTIONS[] = {
        {"<!--", "-->", "A comment is not closed"},
        {"<![CDATA[", "]]>", "A CDATA section is not closed"},
        {"<?", "?>", "A declaration is not closed"},
        {"<!", ">", "A declaration is not closed"},
    };
    Cursor cursor(text);
    std::vector<Opened> open;
    while (!cursor.AtEnd()) {
        if (cursor.Current() != '<') {
            cursor.Advance(1);
            continue;
        }
        const int line = cursor.Line(), column = cursor.Column();
        bool section = false;
        for (const auto& kind : SECTIONS) {
            if (section || !cursor.LooksAt(kind.begin)) continue;
            section = true;
            if (!cursor.SkipPast(kind.end)) return Found(fault, kind.what, line, column);
        }
        if (section) continue;
        if (cursor.LooksAt("</")) {
            cursor.Advance(2);
            const std::string name = cursor.Name(" \t\r\n<>");
            cursor.SkipBlanks();
            if (cursor.AtEnd() || cursor.Current() != '>')
                return Found(fault, "The end tag </" + name + "> has no >", line, column);
            cursor.Advance(1);
            if (open.empty()) return Found(fault, "</" + name + "> closes no element", line, column);
            const Opened last = open.back();
            if (last.name != name)
                return Found(fault,
                             "<" + last.name + "> is not closed: the next end tag is </" + name + "> on line " +
                                 std::to_string(line),
                             last.line, last.column);
            open.pop_back();
            continue;
        }
        cursor.Advance(1);
        if (cursor.AtEnd() || !StartsName(cursor.Current())) return Found(fault, "A < starts no tag", line, column);
        const std::string name = cursor.Name(" \t\r\n/<>");
        bool selfClosed = false;
        if (!SkipTagRest(cursor, selfClosed)) return Found(fault, "The tag <" + name + "> has no >", line, column);
        if (!selfClosed) open.push_back(Opened{name, line, column});
    }
    if (open.empty()) return false;
    return Found(fault, "<" + open.back().name + "> is not closed", open.back().line, open.back().column);
}

}  // namespace quorvane
