// One setting of the settings file, as SettingsTable lists it: its element, type, values,
// range and whether a reload applies it. How the host applies it lives with the host,
// keyed by the element. Plain constant data; any thread.
#ifndef QUORVANE_SETTINGS_SETTINGROW_H
#define QUORVANE_SETTINGS_SETTINGROW_H

#include <cstdint>

namespace quorvane {

struct SettingRow {
    enum Type {
        TEXT,      // any bytes
        NUMBER,    // a whole number from low to high
        BOOLEAN,   // true or false, in any letter case
        CHANNELS,  // the static channel tree
    };
    enum Context {
        RELOAD,   // a reload applies a new value
        RESTART,  // only a start takes it
        RETIRED,  // older files may hold it; nothing reads it
    };

    const char* element;
    Type type;
    Context context;
    // The value of an absent element, as the file would hold it.
    const char* missing;
    // The value the first start's file holds, where it is not the missing one; for the
    // channel tree, the markup inside the element.
    const char* initial;
    int64_t low;  // numbers only
    int64_t high;
    bool secret;  // a reload says that it changed, never what it was or is
    // What it is, in a line, for the lists of settings.
    const char* meaning;
};

}  // namespace quorvane

#endif
