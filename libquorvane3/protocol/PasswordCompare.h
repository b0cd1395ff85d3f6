// Password comparison whose time does not depend on where two byte strings differ, so
// reply times cannot reveal a password byte by byte.
#ifndef QUORVANE_PROTOCOL_PASSWORDCOMPARE_H
#define QUORVANE_PROTOCOL_PASSWORDCOMPARE_H

#include <string>

namespace quorvane {

// Byte for byte and case-sensitive, like ==; the work depends only on the lengths.
bool PasswordsEqual(const std::string& given, const std::string& stored);

}  // namespace quorvane

#endif
