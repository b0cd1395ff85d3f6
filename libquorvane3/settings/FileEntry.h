#ifndef QUORVANE_SETTINGS_FILEENTRY_H
#define QUORVANE_SETTINGS_FILEENTRY_H

#include <cstdint>
#include <string>

namespace quorvane {

// One shared file as the files list stores it.
struct FileEntry {
    std::string name;          // as shown to users
    std::string internalname;  // the data file in the files root
    int64_t filesize = 0;
    int64_t uploaddate = 0;  // seconds since 1970; 0 when the file holds none
};

}  // namespace quorvane

#endif
