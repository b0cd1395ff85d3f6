// Loads fuzz input as an XML file through the readers' own load (size and depth checks
// included): the bytes go into an in-memory file named by its /proc path.
#ifndef QUORVANE_FUZZ_FUZZXML_H
#define QUORVANE_FUZZ_FUZZXML_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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

}  // namespace fuzzing

#endif
