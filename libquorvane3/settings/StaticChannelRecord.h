#ifndef QUORVANE_SETTINGS_STATICCHANNELRECORD_H
#define QUORVANE_SETTINGS_STATICCHANNELRECORD_H

#include <cstdint>
#include <map>

namespace quorvane {

// One static channel as read from or written to the settings file. Plain data; the
// texts are NUL-terminated and cut to 511 bytes.
struct StaticChannelRecord {
    enum { TEXT_SIZE = 512 };
    int32_t id;
    char name[TEXT_SIZE];
    char password[TEXT_SIZE];
    char topic[TEXT_SIZE];
    int32_t parentid;
    int64_t diskquota;
    int32_t line;  // of its element in the settings file; 0 when not read from one
};

// Static channels by ascending id; id 1 is the root channel (parentid 0).
typedef std::map<int32_t, StaticChannelRecord> StaticChannelTable;

}  // namespace quorvane

#endif
