// The prompt's history: the lines typed, recalled with Up and Down, kept in a private
// file between sessions. A filter keeps lines out of it (those that hold a password);
// it also drops such lines from an older file when that is read.
#ifndef QUORVANE_CLI_HISTORY_H
#define QUORVANE_CLI_HISTORY_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quorvane {
namespace cli {

class History {
public:
    static constexpr size_t MAX_ENTRIES = 1000;
    // True when the line may be kept.
    typedef std::function<bool(const std::string& line)> Filter;

    explicit History(Filter keep) : keep_(std::move(keep)) {}

    // Reads a file written by Save, or by the line editor of earlier versions.
    void Load(const std::string& path);
    // Writes the entries, readable by the owner only; false when the file cannot be written.
    bool Save(const std::string& path) const;
    // Adds a line typed at the prompt unless it is empty, repeats the last one or the
    // filter refuses it; navigation starts again from the newest.
    void Add(const std::string& line);

    // One entry older or newer than the one shown. line is what the prompt shows: the
    // line being typed is kept while older entries are shown, and comes back last.
    bool Older(std::string& line);
    bool Newer(std::string& line);

    const std::vector<std::string>& Entries() const { return entries_; }

private:
    void Keep(const std::string& line);

    Filter keep_;
    std::vector<std::string> entries_;
    size_t position_ = 0;  // entries_.size(): the line being typed
    std::string draft_;
};

}  // namespace cli
}  // namespace quorvane

#endif
