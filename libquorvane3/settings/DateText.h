// The date text of the ban list and the files list: "YYYY/MM/DD hh:mm" in local time.
#ifndef QUORVANE_SETTINGS_DATETEXT_H
#define QUORVANE_SETTINGS_DATETEXT_H

#include <cstdint>
#include <string>

namespace quorvane {

// Seconds since 1970 to local date text; the seconds are dropped.
std::string FormatDateTime(int32_t moment);
// Five numbers separated by runs of "/", " " and ":" to a moment (second 0, local time,
// daylight saving decided by the calendar); 0 unless there are exactly five.
int32_t ParseDateTime(const std::string& text);

}  // namespace quorvane

#endif
