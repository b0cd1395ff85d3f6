// The ban list reader: every entry of any document, one by one and all at once; what it
// saves loads again with the same bans. And the pieces of the input taken as texts of a
// ban: each one the server would take comes back from a save exactly.
#include <cstring>
#include <vector>

#include "FuzzXml.h"
#include "settings/BanList.h"
#include "settings/FixedText.h"

namespace {

using quorvane::BanEntry;
using quorvane::FixedText;

bool SameStorableTexts(const BanEntry& a, const BanEntry& b) {
    for (const auto field : {&BanEntry::address, &BanEntry::channelpath, &BanEntry::nickname})
        if (fuzzing::Storable(FixedText(a.*field)) && FixedText(a.*field) != FixedText(b.*field)) return false;
    return a.bantime == b.bantime;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorvane::BanList bans;
    if (fuzzing::LoadBytes(bans, data, size)) {
        const int count = bans.CountBanEntries();
        BanEntry entry;
        for (int i = -1; i <= count; ++i) bans.GetBanEntry(i, entry);
        std::vector<BanEntry> entries, again;
        bans.GetBanEntries(entries);
        quorvane::BanList reloaded;
        fuzzing::Reload(bans, reloaded);
        reloaded.GetBanEntries(again);
        fuzzing::Check(entries.size() == again.size(), "a saved ban list lost bans");
        for (size_t i = 0; i < entries.size(); ++i)
            fuzzing::Check(SameStorableTexts(entries[i], again[i]), "a saved ban changed");
    }

    quorvane::BanList fresh, reloaded;
    fuzzing::LoadText(fresh, quorvane::BanList::DEFAULT_DOCUMENT);
    const std::vector<std::string> values = fuzzing::StorableValues(data, size);
    for (const std::string& value : values) {
        BanEntry ban{};
        quorvane::CopyFixedText(ban.address, value);
        quorvane::CopyFixedText(ban.channelpath, value);
        quorvane::CopyFixedText(ban.nickname, value);
        ban.bantime = 60 * static_cast<int64_t>(value.size());
        fresh.AddBanEntry(ban);
    }
    fuzzing::Reload(fresh, reloaded);
    std::vector<BanEntry> read;
    reloaded.GetBanEntries(read);
    fuzzing::Check(read.size() == values.size(), "saved bans were lost");
    for (size_t i = 0; i < values.size(); ++i)
        fuzzing::Check(FixedText(read[i].address) == values[i] && FixedText(read[i].channelpath) == values[i] &&
                           FixedText(read[i].nickname) == values[i],
                       "a text of a ban did not come back");
    return 0;
}
