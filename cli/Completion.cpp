#include "Completion.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "protocol/CommandLine.h"

namespace quorvane {
namespace cli {

namespace {

bool IsQuote(char c) { return c == '"' || c == '\''; }

bool StartsWith(const std::string& text, const std::string& start, bool anyCase) {
    if (text.size() < start.size()) return false;
    const std::string head = text.substr(0, start.size());
    return anyCase ? EqualsNoCase(head, start) : head == start;
}

// As the command splitter reads it back: "..." with backslash escapes.
std::string Quoted(const std::string& text, bool force, bool close) {
    if (!force && text.find_first_of(" \t\"'\\") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return close ? out + "\"" : out;
}

std::string CommonStart(const std::vector<std::string>& words, bool anyCase) {
    std::string common = words[0];
    for (const std::string& word : words) {
        size_t n = 0;
        while (n < common.size() && n < word.size() &&
               (anyCase ? ToLower(common.substr(n, 1)) == ToLower(word.substr(n, 1)) : common[n] == word[n])) {
            ++n;
        }
        common.resize(n);
    }
    return common;
}

}  // namespace

void WordBeforeCursor(const std::string& line, size_t cursor, size_t& start, std::string& word) {
    cursor = std::min(cursor, line.size());
    start = 0;
    char quote = 0;
    for (size_t i = 0; i < cursor; ++i) {
        const char c = line[i];
        if (quote != 0) {
            if (quote == '"' && c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (IsQuote(c)) {
            quote = c;
        } else if (c == ' ' || c == '\t') {
            start = i + 1;
        }
    }
    word.clear();
    for (size_t i = start; i < cursor; ++i) {
        if (IsQuote(line[i]) && i == start) continue;
        if (line[start] == '"' && line[i] == '\\' && i + 1 < cursor) ++i;
        word += line[i];
    }
}

Completed CompleteWord(const std::string& line, size_t cursor, const Candidates& candidates) {
    Completed result;
    std::string word;
    WordBeforeCursor(line, cursor, result.start, word);
    const bool quoted = result.start < line.size() && IsQuote(line[result.start]);
    std::vector<std::string> matches;
    bool anyCase = false;
    for (int pass = 0; pass < 2 && matches.empty(); ++pass) {
        anyCase = pass == 1;
        for (const std::string& candidate : candidates.words) {
            if (StartsWith(candidate, word, anyCase)) matches.push_back(candidate);
        }
    }
    std::sort(matches.begin(), matches.end());
    matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
    if (matches.empty()) return result;
    if (matches.size() == 1) {
        const std::string& match = matches[0];
        const bool directory = candidates.paths && !match.empty() && match.back() == '/';
        result.replacement = Quoted(match, quoted, !directory) + (directory ? "" : " ");
        return result;
    }
    const std::string common = CommonStart(matches, anyCase);
    if (common.size() > word.size() || (common != word && anyCase)) {
        result.replacement = Quoted(common, quoted, false);
    } else {
        result.choices = matches;
    }
    return result;
}

std::vector<std::string> LocalPaths(const std::string& word) {
    const size_t slash = word.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : word.substr(0, slash + 1);
    const std::string base = word.substr(prefix.size());
    std::vector<std::string> paths;
    DIR* dir = ::opendir(prefix.empty() ? "." : prefix.c_str());
    if (dir == nullptr) return paths;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || (name[0] == '.' && (base.empty() || base[0] != '.'))) continue;
        if (name.compare(0, base.size(), base) != 0) continue;
        struct stat info;
        const std::string path = prefix + name;
        const bool directory = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        paths.push_back(directory ? path + "/" : path);
        if (paths.size() >= LOCAL_PATH_LIMIT) break;
    }
    ::closedir(dir);
    return paths;
}

}  // namespace cli
}  // namespace quorvane
