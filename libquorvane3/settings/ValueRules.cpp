#include "settings/ValueRules.h"

#include <climits>

namespace quorvane {

namespace {

const ValueRules::Range RANGES[] = {
    {"hostport", 1, 65535},
    {"soundport", 1, 65535},
    {"max-users", 0, INT32_MAX},
    {"max-connections-per-address", 0, INT32_MAX},
    {"password-lockout", 0, INT32_MAX},
    {"login-timeout", 0, INT32_MAX / 1000},
    {"max-channels", 0, INT32_MAX},
    {"root-diskquota", 0, INT64_MAX},
    {"channel-diskquota", 0, INT64_MAX},
    {"diskquota", 0, INT64_MAX},
    {"filesize", 0, INT64_MAX},
    {"transfer-timeout", 0, INT32_MAX / 1000},
    {"command-rate", 0, INT32_MAX},
    {"command-burst", 0, INT32_MAX},
    {"max-files-per-channel", 0, INT32_MAX},
    {"max-files", 0, INT32_MAX},
    // One subscriber's network is at most a /48; a wider one would count many as one.
    {"ipv6-ban-prefix", 48, 128},
    {"max-output-queue", 0, INT64_MAX},
};

}  // namespace

const ValueRules::Range* ValueRules::FindRange(const std::string& name) {
    for (const Range& range : RANGES)
        if (name == range.name) return &range;
    return nullptr;
}

bool ValueRules::InRange(const std::string& name, int64_t value) {
    const Range* range = FindRange(name);
    return range == nullptr || (value >= range->low && value <= range->high);
}

bool ValueRules::IsAcceptableText(const std::string& text, size_t limit) {
    return text.size() <= limit && text.find('\0') == std::string::npos;
}

}  // namespace quorvane
