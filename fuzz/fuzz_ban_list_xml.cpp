// The ban list reader: every entry of any document, one by one and all at once.
#include <vector>

#include "FuzzXml.h"
#include "settings/BanList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorvane::BanList bans;
    if (!fuzzing::LoadBytes(bans, data, size)) return 0;
    const int count = bans.CountBanEntries();
    quorvane::BanEntry entry;
    for (int i = -1; i <= count; ++i) bans.GetBanEntry(i, entry);
    std::vector<quorvane::BanEntry> entries;
    bans.GetBanEntries(entries);
    return 0;
}
