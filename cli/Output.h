// What the client prints: rows for scripts (tab-separated or JSON) and readable lines
// for people.
#ifndef QUORVANE_CLI_OUTPUT_H
#define QUORVANE_CLI_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {
namespace cli {

class ChannelTree;

// What a field's value is, for JSON: a string, a number, true or false (written 1 or 0
// in tab-separated rows), or a list of numbers (written 1,4,9).
enum class FieldKind { TEXT, NUMBER, FLAG, NUMBERS };

struct Field {
    std::string name;
    std::string value;
    FieldKind kind = FieldKind::TEXT;
};

// One output row: named fields in the order they are printed.
typedef std::vector<Field> Record;

Field Number(const char* name, int64_t value);
Field Flag(const char* name, bool value);

// The values joined by tabs; backslash, tab, CR and LF inside a value are written \\ \t
// \r \n so that a row is always one line.
std::string FormatTsv(const Record& record);
// One JSON object on one line. Strings are byte strings: bytes of 0x80 and above pass
// through unchanged (the protocol carries UTF-8 in practice), control bytes are escaped.
// A number field whose text is not a number is written as a string, never as bad JSON.
std::string FormatJson(const Record& record);
std::string JsonString(const std::string& text);

// A readable account of one server line, judged against the tree as it was before the
// line; empty when the line is bookkeeping that people need not see.
std::string DescribeLine(const std::string& line, const ChannelTree& before);

// What the prompt says after a command: the files already in a channel just joined
// (from their addfile lines), one ban (from its userbanned line), a finished transfer,
// and the server's statistics text.
std::string FilesText(const std::string& channel, const std::vector<std::string>& addfileLines);
std::string BanText(const std::string& userbannedLine);
// One connection of the administrator's list (from its userinfo line).
std::string ConnectionText(const std::string& userinfoLine);
std::string TransferText(bool upload, const std::string& name, int64_t size, const std::string& where, double seconds);
std::string StatsText(const std::string& content);

// "1.5 KiB"-style size.
std::string HumanBytes(double bytes);

// The rows of one ban and of one connection, from the same lines.
Record BanRow(const std::string& userbannedLine);
Record ConnectionRow(const std::string& userinfoLine);

// The rows (name, value) of the server's statistics text ("Name: value" lines): stable
// snake_case names and numbers without units (uptime in seconds, voice in KiB).
std::vector<Record> StatsRows(const std::string& content);

}  // namespace cli
}  // namespace quorvane

#endif
