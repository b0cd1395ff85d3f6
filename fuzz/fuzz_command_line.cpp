// The line framing and the parameter parser: whatever bytes arrive, every reader answers
// without fault, and escaping a value then unescaping it gives the value back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/CommandLine.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string rest(reinterpret_cast<const char*>(data), size);
    std::string line;
    while (SplitFirstLine(rest, line, rest)) {
        const std::string text = StripLineEnding(line);
        std::string word, value;
        ExtractCommand(text, word);
        HasSyntaxError(text);
        ParameterSet params;
        ParseParameters(text, params);
        for (ParameterSet::const_iterator it = params.begin(); it != params.end(); ++it) {
            int number = 0;
            int64_t wide = 0;
            bool flag = false;
            GetStringParam(text, it->first, value);
            GetIntParam(text, it->first, number);
            GetInt64Param(text, it->first, wide);
            GetBoolParam(text, it->first, flag);
        }
    }
    const std::string raw(reinterpret_cast<const char*>(data), size);
    if (UnescapeString(EscapeString(raw)) != raw) std::abort();
    std::string built = "x";
    AppendStringParam(built, "v", raw);
    std::string back;
    if (!GetStringParam(built, "v", back) || back != raw) std::abort();
    return 0;
}
