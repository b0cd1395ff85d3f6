// Loads fuzz input as an XML file through the readers' own load (size and depth checks
// included): the bytes go into an in-memory file named by its /proc path. And the
// checks of the round trip: what a document saves loads again with the same values.
#ifndef QUORVANE_FUZZ_FUZZXML_H
#define QUORVANE_FUZZ_FUZZXML_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings/ValueRules.h"

namespace fuzzing {

// Loads the bytes into the document; the document keeps no file name afterwards, so
// nothing a reader does writes anywhere.
template <class DOCUMENT>
bool LoadBytes(DOCUMENT& document, const uint8_t* data, size_t size) {
    const int fd = ::memfd_create("fuzz.xml", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0) std::abort();
        written += static_cast<size_t>(n);
    }
    const bool loaded = document.LoadXMLFile("/proc/self/fd/" + std::to_string(fd));
    document.ForgetFile();
    ::close(fd);
    return loaded;
}

template <class DOCUMENT>
bool LoadText(DOCUMENT& document, const std::string& text) {
    return LoadBytes(document, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Loads into again the text the document would save now: that must always load.
template <class DOCUMENT>
void Reload(DOCUMENT& document, DOCUMENT& again) {
    std::string text;
    if (!document.Print(text) || !LoadText(again, text)) {
        std::fprintf(stderr, "a saved document did not load again: %s\n", again.GetErrorText().c_str());
        std::abort();
    }
}

inline void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Whether the files must give the text back: whatever the server takes, any bytes but NUL.
inline bool Storable(const std::string& text) { return quorvane::ValueRules::IsAcceptableText(text); }

// The pieces of the input between NUL bytes that the files must keep (at most 64).
inline std::vector<std::string> StorableValues(const uint8_t* data, size_t size) {
    std::vector<std::string> values;
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= input.size() && values.size() < 64;) {
        const size_t end = std::min(input.find('\0', start), input.size());
        const std::string piece = input.substr(start, end - start);
        if (Storable(piece)) values.push_back(piece);
        start = end + 1;
    }
    return values;
}

}  // namespace fuzzing

#endif
