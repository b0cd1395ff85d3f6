#include "settings/SettingValues.h"

#include <cstdlib>

#include "settings/FixedText.h"
#include "settings/SettingsTable.h"

namespace quorvane {

namespace {

// The table as one text, only to tell whether it changed.
std::string ChannelTree(const StaticChannelTable& channels) {
    std::string text;
    for (const auto& entry : channels) {
        const StaticChannelRecord& channel = entry.second;
        text += std::to_string(channel.id) + "/" + std::to_string(channel.parentid) + "/" +
                std::to_string(channel.diskquota) + "/" + FixedText(channel.name) + "\n" + FixedText(channel.password) +
                "\n" + FixedText(channel.topic) + "\n";
    }
    return text;
}

}  // namespace

SettingValues::SettingValues() : values_(SettingsTable::COUNT) {
    for (const SettingRow& row : SettingsTable::ROWS) {
        Value& value = values_[SettingsTable::IndexOf(row)];
        value.text = row.missing;
        if (row.type == SettingRow::NUMBER) value.number = std::strtoll(row.missing, nullptr, 10);
        if (row.type == SettingRow::BOOLEAN) value.number = value.text == "true";
    }
}

SettingValues::Value& SettingValues::At(std::string_view element, SettingRow::Type type) {
    return values_[SettingsTable::IndexOf(SettingsTable::Require(element, type))];
}

const SettingValues::Value& SettingValues::At(std::string_view element, SettingRow::Type type) const {
    return const_cast<SettingValues*>(this)->At(element, type);
}

const std::string& SettingValues::Text(std::string_view element) const { return At(element, SettingRow::TEXT).text; }

int64_t SettingValues::Number(std::string_view element) const { return At(element, SettingRow::NUMBER).number; }

bool SettingValues::Flag(std::string_view element) const { return At(element, SettingRow::BOOLEAN).number != 0; }

void SettingValues::SetText(std::string_view element, const std::string& text) {
    At(element, SettingRow::TEXT).text = text;
}

void SettingValues::SetNumber(std::string_view element, int64_t number) {
    Value& value = At(element, SettingRow::NUMBER);
    value.number = number;
    value.text = std::to_string(number);
}

void SettingValues::SetFlag(std::string_view element, bool flag) {
    Value& value = At(element, SettingRow::BOOLEAN);
    value.number = flag;
    value.text = flag ? "true" : "false";
}

void SettingValues::SetChannels(const StaticChannelTable& channels) {
    channels_ = channels;
    for (const SettingRow& row : SettingsTable::ROWS)
        if (row.type == SettingRow::CHANNELS) values_[SettingsTable::IndexOf(row)].text = ChannelTree(channels);
}

const std::string& SettingValues::Shown(const SettingRow& row) const {
    return values_[SettingsTable::IndexOf(row)].text;
}

}  // namespace quorvane
