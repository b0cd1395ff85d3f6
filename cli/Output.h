// What the client prints: rows for scripts (tab-separated or JSON) and readable lines
// for people.
#ifndef QUORVANE_CLI_OUTPUT_H
#define QUORVANE_CLI_OUTPUT_H

#include <string>
#include <utility>
#include <vector>

namespace quorvane {
namespace cli {

class ChannelTree;

// One output row: named fields in the order they are printed.
typedef std::vector<std::pair<std::string, std::string>> Record;

// The values joined by tabs; backslash, tab, CR and LF inside a value are written \\ \t
// \r \n so that a row is always one line.
std::string FormatTsv(const Record& record);
// One JSON object on one line. Values are byte strings: bytes of 0x80 and above pass
// through unchanged (the protocol carries UTF-8 in practice), control bytes are escaped.
std::string FormatJson(const Record& record);
std::string JsonString(const std::string& text);

// A readable account of one server line, judged against the tree as it was before the
// line; empty when the line is bookkeeping that people need not see.
std::string DescribeLine(const std::string& line, const ChannelTree& before);

// "1.5 KiB"-style size.
std::string HumanBytes(double bytes);

}  // namespace cli
}  // namespace quorvane

#endif
