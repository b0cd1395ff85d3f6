#include "settings/DateText.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace quorvane {

std::string FormatDateTime(int64_t moment) {
    const time_t seconds = static_cast<time_t>(moment);
    struct tm local;
    if (!localtime_r(&seconds, &local)) return std::string();
    char text[64];
    snprintf(text, sizeof(text), "%.4d/%.2d/%.2d %.2d:%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min);
    return text;
}

int64_t ParseDateTime(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("/ :", start);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > start) pieces.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    if (pieces.size() != 5) return 0;
    struct tm local = {};
    local.tm_year = atoi(pieces[0].c_str()) - 1900;
    local.tm_mon = atoi(pieces[1].c_str()) - 1;
    local.tm_mday = atoi(pieces[2].c_str());
    local.tm_hour = atoi(pieces[3].c_str());
    local.tm_min = atoi(pieces[4].c_str());
    local.tm_isdst = -1;
    const time_t moment = mktime(&local);
    return moment == static_cast<time_t>(-1) ? 0 : static_cast<int64_t>(moment);
}

}  // namespace quorvane
