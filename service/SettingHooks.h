// How the host checks and applies the settings of SettingsTable, keyed by the element:
// the checks the table cannot make (an address), what hands a value to the node at the
// start and when a reload finds it changed, and what reads back the values administrators
// may change while the server runs (updateserver, updateadmin, a channel's quota). Rows
// that share a function are applied, or read, together once. A row that a reload applies
// and has no hook, or a hook without a row, does not compile.
//
// The hooks run in the order of HOOKS, and a reload tells the changes in that order.
// Threads: the host's thread at start-up, the main loop's for a reload; the node's own
// rules apply.
#ifndef QUORVANE_SERVICE_SETTINGHOOKS_H
#define QUORVANE_SERVICE_SETTINGHOOKS_H

#include <string>
#include <string_view>
#include <vector>

#include "settings/SettingsCheck.h"
#include "settings/SettingsTable.h"

namespace quorvane {
class SettingValues;
namespace server {
class ServerNode;
}
}  // namespace quorvane

class SettingHooks {
public:
    struct Hook {
        const char* element;
        // What the text must be beyond the row's type and range; null: nothing more.
        quorvane::SettingsCheck::Check check;
        // Hands the values to the node: before the start (reload false), and at a reload
        // that changed one of the rows that share it. Null: only the host reads the value.
        void (*apply)(quorvane::server::ServerNode& node, const quorvane::SettingValues& values, bool reload);
        // Reads back into values those the node holds now; null: the node does not change it.
        void (*live)(quorvane::server::ServerNode& node, quorvane::SettingValues& values);
    };
    static const Hook* const HOOKS;  // COUNT of them
    static const size_t COUNT;

    // The element's hook; null when it has none.
    static const Hook* Find(std::string_view element);
    // The checks for SettingsCheck::Read.
    static std::vector<quorvane::SettingsCheck::ExtraCheck> Checks();
    // Applies every hook before the start.
    static void ApplyAll(quorvane::server::ServerNode& node, const quorvane::SettingValues& values);
    // Reads back every value the node holds.
    static void TakeLive(quorvane::server::ServerNode& node, quorvane::SettingValues& values);

    // The administrator account the node is given: empty unless enabled.
    static std::string AdminName(const quorvane::SettingValues& values);
    static std::string AdminPassword(const quorvane::SettingValues& values);
};

#endif
