// The date text of the ban list and the files list: "YYYY/MM/DD hh:mm" in local time.
#ifndef QUORVANE_SETTINGS_DATETEXT_H
#define QUORVANE_SETTINGS_DATETEXT_H

#include <cstdint>
#include <string>

namespace quorvane {

// Seconds since 1970 to local date text; the seconds are dropped. 64-bit moments: the
// text is the same for those a 32-bit count could hold, so older files read the same.
std::string FormatDateTime(int64_t moment);
// Five numbers separated by runs of "/", " " and ":" to a moment (second 0, local time,
// daylight saving decided by the calendar); 0 unless there are exactly five.
int64_t ParseDateTime(const std::string& text);

}  // namespace quorvane

#endif
