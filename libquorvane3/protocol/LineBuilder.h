// Builds one outgoing command line: the word, then " name=value" per parameter in call
// order, then CR LF from Finish(). One mechanism for every line the server sends.
#ifndef QUORVANE_PROTOCOL_LINEBUILDER_H
#define QUORVANE_PROTOCOL_LINEBUILDER_H

#include <cstdint>
#include <set>
#include <string>

#include "protocol/CommandLine.h"

namespace quorvane {

class LineBuilder {
public:
    explicit LineBuilder(const char* command) : line_(command) {}

    LineBuilder& Int(const char* name, int value) {
        AppendIntParam(line_, name, value);
        return *this;
    }
    LineBuilder& Bool(const char* name, bool value) {
        AppendBoolParam(line_, name, value);
        return *this;
    }
    LineBuilder& Int64(const char* name, int64_t value) {
        AppendInt64Param(line_, name, value);
        return *this;
    }
    LineBuilder& String(const char* name, const std::string& value) {
        AppendStringParam(line_, name, value);
        return *this;
    }
    LineBuilder& List(const char* name, const std::set<int>& values) {
        AppendListParam(line_, name, values);
        return *this;
    }

    // The finished line, CR LF included.
    std::string Finish() const { return line_ + "\r\n"; }

private:
    std::string line_;
};

}  // namespace quorvane

#endif
