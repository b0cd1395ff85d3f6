#ifndef QUORVANE_MODEL_CHANNELFILE_H
#define QUORVANE_MODEL_CHANNELFILE_H

#include <cstdint>
#include <string>

namespace quorvane {

// A shared file of a channel. Names are compared byte for byte.
struct ChannelFile {
    int32_t fileId = 0;
    std::string filename;      // as shown to users
    std::string internalName;  // the data file's name in the files root
    int64_t filesize = 0;
};

}  // namespace quorvane

#endif
