#include "model/Channel.h"

namespace quorvane {

std::string LowerChannelName(const std::string& text) {
    std::string lowered(text);
    for (size_t i = 0; i < lowered.size(); ++i)
        if (lowered[i] >= 'A' && lowered[i] <= 'Z') lowered[i] = static_cast<char>(lowered[i] - 'A' + 'a');
    return lowered;
}

bool ChannelNamesEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::vector<std::string> SplitChannelPath(const std::string& path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) names.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return names;
}

bool ChannelPathsEqual(const std::string& a, const std::string& b) {
    return SplitChannelPath(LowerChannelName(a)) == SplitChannelPath(LowerChannelName(b));
}

}  // namespace quorvane
