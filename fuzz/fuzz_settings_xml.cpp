// The settings file reader: every getter and the static channel tree of any document;
// what it saves loads again with the same values. And the pieces of the input taken as
// settings texts and static channel texts: each one the server would take comes back.
#include <string>
#include <vector>

#include "FuzzXml.h"
#include "settings/FixedText.h"
#include "settings/QuorvaneSettings.h"

namespace {

using quorvane::FixedText;
using quorvane::QuorvaneSettings;
using quorvane::StaticChannelTable;

typedef std::string (QuorvaneSettings::*TextGetter)();
const TextGetter TEXTS[] = {&QuorvaneSettings::GetServerName,    &QuorvaneSettings::GetServerPassword,
                            &QuorvaneSettings::GetRootTopic,     &QuorvaneSettings::GetMotd,
                            &QuorvaneSettings::GetBindIP,        &QuorvaneSettings::GetAdminUsername,
                            &QuorvaneSettings::GetAdminPassword, &QuorvaneSettings::GetFilesRoot};

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
        settings.GetRootDiskQuota();
        settings.GetHostPort();
        settings.GetSoundPort();
        settings.GetMaxUsers();
        settings.GetAllowChannelCreation();
        settings.GetAllowOperators();
        settings.GetServerLogging();
        settings.GetAdminEnabled();
        settings.GetChannelDiskQuota();
        settings.GetMaxConnectionsPerAddress();
        settings.GetPasswordLockout();
        settings.GetLoginTimeout();
        settings.GetMaxChannels();
        const StaticChannelTable table = Channels(settings);
        if (!table.empty()) settings.WriteStaticChannels(table);
        QuorvaneSettings reloaded;
        fuzzing::Reload(settings, reloaded);
        for (const TextGetter get : TEXTS) {
            const std::string value = (settings.*get)();
            fuzzing::Check(!fuzzing::Storable(value) || value == (reloaded.*get)(), "a saved setting changed");
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
