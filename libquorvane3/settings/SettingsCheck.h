// Reads the settings under <hosting> by SettingsTable, strictly: a number must be a whole
// number in its row's range, a boolean true or false in any letter case, a static
// channel's diskquota a number from 0 on. Anything else is a problem that refuses the
// file, told with the element's line, name and value. An element the table does not know
// is a problem too, but one that refuses nothing: it stays in the file, without effect.
// Only the first element of a name counts, and only it is checked or reported. Retired
// elements are known and never checked. At most MAX_PROBLEMS are told, then one that says
// how many more there are (and refuses the file when any of them would).
//
// Threads: whoever owns the document.
#ifndef QUORVANE_SETTINGS_SETTINGSCHECK_H
#define QUORVANE_SETTINGS_SETTINGSCHECK_H

#include <string>
#include <vector>

#include "settings/SettingValues.h"

namespace quorvane {

class QuorvaneSettings;

class SettingsCheck {
public:
    struct Problem {
        int line;                 // 0 where the document has no lines (parsed from text)
        std::string subject;      // password-lockout is "ten"
        std::string requirement;  // it must be a number from 0 to 2147483647
        bool unknown;             // an element the table does not know: refuses nothing

        std::string Text() const { return subject + "; " + requirement; }
    };
    typedef std::vector<Problem> Problems;
    enum { MAX_PROBLEMS = 50 };

    // What a value must be beyond its row's type and range, checked by the caller (who
    // knows addresses, say): empty when the text is fine, else "it must be ...".
    typedef std::string (*Check)(const std::string& text);
    struct ExtraCheck {
        const char* element;
        Check check;
    };

    // Reads every setting into values, the static channels with them, and answers every
    // problem in the order of the document. Values with a problem keep their missing value.
    static Problems Read(QuorvaneSettings& document, SettingValues& values,
                         const std::vector<ExtraCheck>& checks = std::vector<ExtraCheck>());
    // Whether any of the problems refuses the file.
    static bool Refuses(const Problems& problems);
    // The value as a problem shows it: quoted, control bytes as \xNN, long ones cut.
    static std::string Quote(const std::string& text);
};

}  // namespace quorvane

#endif
