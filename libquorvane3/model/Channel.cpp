#include "model/Channel.h"

namespace quorvane {

std::string LowerChannelName(const std::string& text) {
    std::string lowered(text);
    for (size_t i = 0; i < lowered.size(); ++i)
        if (lowered[i] >= 'A' && lowered[i] <= 'Z') lowered[i] = static_cast<char>(lowered[i] - 'A' + 'a');
    return lowered;
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
