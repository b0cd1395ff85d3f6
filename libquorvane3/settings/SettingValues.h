// The value of every setting of SettingsTable, by its element: what a settings file
// holds once SettingsCheck has read it, each absent element at its missing value. A name
// the table does not know, or one of another type than the row's, is a fault of the
// program: it aborts with the name (SettingsTable::Require).
//
// Threads: plain data, owned by one thread at a time.
#ifndef QUORVANE_SETTINGS_SETTINGVALUES_H
#define QUORVANE_SETTINGS_SETTINGVALUES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/SettingRow.h"
#include "settings/StaticChannelRecord.h"

namespace quorvane {

class SettingValues {
public:
    // Every row at its missing value; no static channels.
    SettingValues();

    const std::string& Text(std::string_view element) const;
    int64_t Number(std::string_view element) const;
    // A number of a row whose range fits 32 bits.
    int Int(std::string_view element) const { return static_cast<int>(Number(element)); }
    bool Flag(std::string_view element) const;
    const StaticChannelTable& Channels() const { return channels_; }

    void SetText(std::string_view element, const std::string& text);
    void SetNumber(std::string_view element, int64_t number);
    void SetFlag(std::string_view element, bool flag);
    void SetChannels(const StaticChannelTable& channels);

    // The value as the file would hold it (numbers in decimal, booleans as true or
    // false); for the channel tree, a text that changes whenever the tree does.
    const std::string& Shown(const SettingRow& row) const;

private:
    struct Value {
        std::string text;
        int64_t number = 0;  // numbers, and booleans as 0 or 1
    };

    Value& At(std::string_view element, SettingRow::Type type);
    const Value& At(std::string_view element, SettingRow::Type type) const;

    std::vector<Value> values_;  // by the rows' order
    StaticChannelTable channels_;
};

}  // namespace quorvane

#endif
