// The rules a value must meet to be kept by the server: one rule for what a client sends
// and for what the settings file holds, so the server never accepts a value that its own
// next start would refuse. Pure functions; any thread.
#ifndef QUORVANE_SETTINGS_VALUERULES_H
#define QUORVANE_SETTINGS_VALUERULES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane {

class ValueRules {
public:
    enum {
        TEXT_LIMIT = 511,      // names, passwords, topics, messages of the day, file names
        CONTENT_LIMIT = 8192,  // a text message
    };

    // The range of a number setting (SettingsTable) or command parameter by its name;
    // false when it has none.
    static bool FindRange(const std::string& name, int64_t& low, int64_t& high);
    // Whether the value is within the named range (true for a name without one).
    static bool InRange(const std::string& name, int64_t value);

    // Text the server takes from a client or a settings file: any bytes but NUL, at most
    // limit of them. The files keep every such text byte for byte (StoredText).
    static bool IsAcceptableText(const std::string& text, size_t limit = TEXT_LIMIT);
};

}  // namespace quorvane

#endif
