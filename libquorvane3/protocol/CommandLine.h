// The text line format of the control connection: framing, parsing, escaping and
// building of command lines. Pure functions on byte strings; no state, no I/O.
// Every reader answers false and leaves its outputs untouched when it cannot answer.
#ifndef QUORVANE_PROTOCOL_COMMANDLINE_H
#define QUORVANE_PROTOCOL_COMMANDLINE_H

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace quorvane {

// Parsed parameters of one line, ordered by byte-wise name comparison.
typedef std::map<std::string, std::string> ParameterSet;

// Framing
bool SplitFirstLine(const std::string& buffer, std::string& line, std::string& rest);
std::string StripLineEnding(const std::string& line);
bool ExtractCommand(const std::string& line, std::string& word);

// Parsing
bool ParseParameters(const std::string& line, ParameterSet& params);
bool HasSyntaxError(const std::string& line);
bool GetStringParam(const std::string& line, const std::string& name, std::string& out);
bool GetIntParam(const std::string& line, const std::string& name, int& out);
bool GetBoolParam(const std::string& line, const std::string& name, bool& out);
bool GetInt64Param(const std::string& line, const std::string& name, int64_t& out);
bool IsNumber(const std::string& text);

// Escaping
void ReplaceAll(std::string& text, const std::string& find, const std::string& replacement);
std::string EscapeString(const std::string& text);
std::string UnescapeString(const std::string& text);

// Serialising: each appends " name=value" to an outgoing line.
void AppendIntParam(std::string& line, const std::string& name, int value);
void AppendBoolParam(std::string& line, const std::string& name, bool value);
void AppendInt64Param(std::string& line, const std::string& name, int64_t value);
void AppendStringParam(std::string& line, const std::string& name, const std::string& value);
void AppendListParam(std::string& line, const std::string& name, const std::set<int>& values);

// Comparison (ASCII letters only)
std::string ToLower(const std::string& text);
bool EqualsNoCase(const std::string& a, const std::string& b);

}  // namespace quorvane

#endif
