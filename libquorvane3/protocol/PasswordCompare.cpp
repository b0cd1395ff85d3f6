#include "protocol/PasswordCompare.h"

namespace quorvane {

bool PasswordsEqual(const std::string& given, const std::string& stored) {
    // Walk the longer length whatever the contents; a volatile accumulator keeps the
    // compiler from stopping at the first difference.
    const size_t length = given.size() > stored.size() ? given.size() : stored.size();
    volatile unsigned char difference = given.size() == stored.size() ? 0 : 1;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < stored.size() ? static_cast<unsigned char>(stored[i]) : 0;
        difference = difference | static_cast<unsigned char>(a ^ b);
    }
    return difference == 0;
}

}  // namespace quorvane
