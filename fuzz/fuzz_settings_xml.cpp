// The settings file reader: the strict reading of every setting and the static channel
// tree of any document; what it saves loads again with the same values. And the pieces of the input taken as
// settings texts and static channel texts: each one the server would take comes back.
#include <string>
#include <vector>

#include "FuzzXml.h"
#include "settings/FixedText.h"
#include "settings/QuorvaneSettings.h"
#include "settings/SettingsCheck.h"
#include "settings/SettingsTable.h"

namespace {

using quorvane::FixedText;
using quorvane::QuorvaneSettings;
using quorvane::SettingRow;
using quorvane::SettingsCheck;
using quorvane::SettingsTable;
using quorvane::SettingValues;
using quorvane::StaticChannelTable;

StaticChannelTable Channels(QuorvaneSettings& settings) {
    StaticChannelTable table;
    settings.ReadStaticChannels(table);
    return table;
}

bool SameChannels(const StaticChannelTable& a, const StaticChannelTable& b) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
        const quorvane::StaticChannelRecord &r = x->second, &s = y->second;
        if (r.id != s.id || r.parentid != s.parentid || r.diskquota != s.diskquota) return false;
        for (const auto field : {&quorvane::StaticChannelRecord::name, &quorvane::StaticChannelRecord::password,
                                 &quorvane::StaticChannelRecord::topic})
            if (fuzzing::Storable(FixedText(r.*field)) && FixedText(r.*field) != FixedText(s.*field)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QuorvaneSettings settings;
    if (fuzzing::LoadBytes(settings, data, size)) {
        SettingValues values;
        SettingsCheck::Read(settings, values);
        const StaticChannelTable table = Channels(settings);
        if (!table.empty()) settings.WriteStaticChannels(table);
        QuorvaneSettings reloaded;
        fuzzing::Reload(settings, reloaded);
        SettingValues again;
        SettingsCheck::Read(reloaded, again);
        for (const SettingRow& row : SettingsTable::ROWS) {
            if (row.type != SettingRow::TEXT || row.context == SettingRow::RETIRED) continue;
            const std::string& value = values.Text(row.element);
            fuzzing::Check(!fuzzing::Storable(value) || value == again.Text(row.element), "a saved setting changed");
        }
        fuzzing::Check(SameChannels(Channels(settings), Channels(reloaded)), "saved static channels changed");
    }

    QuorvaneSettings fresh, reloaded;
    fuzzing::LoadText(fresh, QuorvaneSettings::MINIMAL_DOCUMENT);
    const std::vector<std::string> values = fuzzing::StorableValues(data, size);
    StaticChannelTable table;
    table[1] = quorvane::StaticChannelRecord{};
    table[1].id = 1;
    for (size_t i = 0; i < values.size(); ++i) {
        fresh.PutString(fresh.GetHostingElement(), "value" + std::to_string(i), values[i]);
        quorvane::StaticChannelRecord record{};
        record.id = static_cast<int32_t>(i + 2);
        record.parentid = 1;
        quorvane::CopyFixedText(record.name, values[i]);
        quorvane::CopyFixedText(record.password, values[i]);
        quorvane::CopyFixedText(record.topic, values[i]);
        table[record.id] = record;
    }
    fresh.WriteStaticChannels(table);
    fuzzing::Reload(fresh, reloaded);
    for (size_t i = 0; i < values.size(); ++i) {
        std::string value;
        reloaded.GetString(reloaded.GetHostingElement(), "value" + std::to_string(i), value);
        fuzzing::Check(value == values[i], "a setting did not come back");
    }
    fuzzing::Check(SameChannels(table, Channels(reloaded)), "a static channel did not come back");
    return 0;
}
