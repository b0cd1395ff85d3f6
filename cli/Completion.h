// Tab completion of the word before the cursor: what the candidates make of it (one
// match completed, a longer common start, or the list to show), and the local file
// names that upload and download complete.
#ifndef QUORVANE_CLI_COMPLETION_H
#define QUORVANE_CLI_COMPLETION_H

#include <cstddef>
#include <string>
#include <vector>

namespace quorvane {
namespace cli {

struct Candidates {
    std::vector<std::string> words;
    bool paths = false;  // local paths: one ending in '/' is a directory to go on into
};

struct Completed {
    size_t start = 0;                  // where the word begins in the line
    std::string replacement;           // the word's new text; empty: the word stays
    std::vector<std::string> choices;  // more than one match and nothing to add: show them
};

// The word the cursor ends (quoted words count as one), the text before it, and the
// word without an opening quote.
void WordBeforeCursor(const std::string& line, size_t cursor, size_t& start, std::string& word);

// Completes the word from the candidates: those starting with it, else those starting with
// it in any letter case. Names with blanks or quotes are written quoted.
Completed CompleteWord(const std::string& line, size_t cursor, const Candidates& candidates);

// The entries of the word's directory whose names start with the rest of it, directories
// with a '/' (at most LIMIT of them).
std::vector<std::string> LocalPaths(const std::string& word);
constexpr size_t LOCAL_PATH_LIMIT = 1000;

}  // namespace cli
}  // namespace quorvane

#endif
