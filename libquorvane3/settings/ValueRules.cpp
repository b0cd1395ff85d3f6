#include "settings/ValueRules.h"

#include "settings/SettingsTable.h"

namespace quorvane {

namespace {

// Command parameters by the setting whose kind of value they set, so that a command
// cannot set what the file would refuse; those that set none have a range of their own.
struct Parameter {
    const char* name;
    const char* setting;  // null: low and high
    int64_t low;
    int64_t high;
};

const Parameter PARAMETERS[] = {
    {"diskquota", "channel-diskquota", 0, 0},  // a channel's, as a static channel's in the file
    {"filesize", nullptr, 0, INT64_MAX},
};

}  // namespace

bool ValueRules::FindRange(const std::string& name, int64_t& low, int64_t& high) {
    const char* setting = name.c_str();
    for (const Parameter& parameter : PARAMETERS) {
        if (name != parameter.name) continue;
        if (parameter.setting == nullptr) {
            low = parameter.low;
            high = parameter.high;
            return true;
        }
        setting = parameter.setting;
    }
    const SettingRow* row = SettingsTable::Find(setting);
    if (row == nullptr || row->type != SettingRow::NUMBER) return false;
    low = row->low;
    high = row->high;
    return true;
}

bool ValueRules::InRange(const std::string& name, int64_t value) {
    int64_t low = 0, high = 0;
    return !FindRange(name, low, high) || (value >= low && value <= high);
}

bool ValueRules::IsAcceptableText(const std::string& text, size_t limit) {
    return text.size() <= limit && text.find('\0') == std::string::npos;
}

}  // namespace quorvane
