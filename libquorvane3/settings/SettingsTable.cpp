#include "settings/SettingsTable.h"

#include <cstdio>
#include <cstdlib>

namespace quorvane {

namespace {

std::string Shown(const char* value) { return *value == '\0' ? std::string("empty") : std::string(value); }

std::string Kind(const SettingRow& row) {
    switch (row.type) {
    case SettingRow::TEXT: return "text";
    case SettingRow::NUMBER: return "a number from " + std::to_string(row.low) + " to " + std::to_string(row.high);
    case SettingRow::BOOLEAN: return "true or false";
    case SettingRow::CHANNELS: return "channel elements";
    }
    return "";
}

const char* When(const SettingRow& row) {
    switch (row.context) {
    case SettingRow::RELOAD: return "a reload applies it";
    case SettingRow::RESTART: return "a restart applies it";
    case SettingRow::RETIRED: return "ignored";
    }
    return "";
}

}  // namespace

const SettingRow& SettingsTable::Require(std::string_view element, SettingRow::Type type) {
    const SettingRow* row = Find(element);
    if (row == nullptr || row->type != type) {
        static const char* const TYPES[] = {"text", "number", "boolean", "channels"};
        std::fprintf(stderr, "The program used the %s setting %.*s, which the table does not have.\n", TYPES[type],
                     static_cast<int>(element.size()), element.data());
        std::abort();
    }
    return *row;
}

std::string SettingsTable::Facts(const SettingRow& row) {
    std::string text = Kind(row);
    if (row.type != SettingRow::CHANNELS) {
        text += "; absent: " + Shown(row.missing);
        if (row.initial != nullptr) text += "; first written as " + Shown(row.initial);
    }
    return text + "; " + When(row);
}

std::string SettingsTable::Describe(const SettingRow& row) {
    return std::string(row.element) + " (" + Facts(row) + "): " + row.meaning;
}

std::string SettingsTable::List() {
    std::string text;
    for (const SettingRow& row : ROWS)
        if (row.context != SettingRow::RETIRED) text += Describe(row) + "\n";
    return text;
}

}  // namespace quorvane
