// Ctrl+R at the prompt: a reverse incremental search of the history. Typed text narrows
// the search and shows the newest line that holds it (letter case aside); Ctrl+R again goes on to older ones,
// Backspace takes a character back, Ctrl+G gives back the line as it was before the
// search. Any other key ends the search on the line found and then acts as it always does
// (Enter runs it, an arrow starts editing it). Used from the editor's one thread.
#ifndef QUORVANE_CLI_HISTORYSEARCH_H
#define QUORVANE_CLI_HISTORYSEARCH_H

#include <cstddef>
#include <string>

#include "EditBuffer.h"
#include "History.h"
#include "Key.h"

namespace quorvane {
namespace cli {

class HistorySearch {
public:
    explicit HistorySearch(const History& history) : history_(history) {}

    bool Active() const { return active_; }
    // Starts a search from the newest entry; line is what the prompt shows now.
    void Begin(const std::string& line);
    // A key while searching: true when the search took it (the line shows the match);
    // false when the search has ended and the key is the editor's.
    bool Take(const Key& key, EditBuffer& line);
    // What the prompt shows before the line while searching.
    std::string Prompt() const;

private:
    // Shows the newest entry below index before that holds the text; false when none does.
    bool Find(size_t before, EditBuffer& line);

    const History& history_;
    bool active_ = false;
    bool failed_ = false;
    std::string text_;   // what is searched for
    std::string saved_;  // the line before the search
    size_t at_ = 0;      // the entry shown; the number of entries while none is
};

}  // namespace cli
}  // namespace quorvane

#endif
