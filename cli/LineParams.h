// Reading a received line's parameters where an absent one simply reads as empty or 0:
// the client shows what the server sent and judges nothing by a missing value.
#ifndef QUORVANE_CLI_LINEPARAMS_H
#define QUORVANE_CLI_LINEPARAMS_H

#include <cstdint>
#include <string>

#include "protocol/CommandLine.h"

namespace quorvane {
namespace cli {

inline std::string LineWord(const std::string& line) {
    std::string word;
    ExtractCommand(line, word);
    return word;
}

inline std::string TextParam(const std::string& line, const char* name) {
    std::string value;
    GetStringParam(line, name, value);
    return value;
}

inline int IntParam(const std::string& line, const char* name) {
    int value = 0;
    GetIntParam(line, name, value);
    return value;
}

inline int64_t Int64Param(const std::string& line, const char* name) {
    int64_t value = 0;
    GetInt64Param(line, name, value);
    return value;
}

}  // namespace cli
}  // namespace quorvane

#endif
