#ifndef QUORVANE_SETTINGS_BANENTRY_H
#define QUORVANE_SETTINGS_BANENTRY_H

#include <cstdint>

namespace quorvane {

// One ban as the ban list stores it. Plain data; the texts are NUL-terminated and cut to
// 511 bytes. The user id is not kept in the file.
struct BanEntry {
    enum { TEXT_SIZE = 512 };
    char address[TEXT_SIZE];
    int64_t bantime;  // seconds since 1970
    char channelpath[TEXT_SIZE];
    int32_t userid;
    char nickname[TEXT_SIZE];
};

}  // namespace quorvane

#endif
