// The interactive prompt. On a terminal it edits the line itself: the terminal is kept
// in raw mode while a line is typed and put back as found on every way out, the keys are
// read from the client's own poll loop (so the server's lines show while a line is being
// typed, above it), history, its search (Ctrl+R) and Tab completion are drawn as they
// change the line. When
// standard input or output is not a terminal it only cuts the input into lines.
//
// Ctrl+C abandons the line being typed; on an empty line after Ctrl+C, or on a fresh one
// after a hint, it quits, as does Ctrl+D on an empty line. Used from one thread.
#ifndef QUORVANE_CLI_LINEEDITOR_H
#define QUORVANE_CLI_LINEEDITOR_H

#include <cstdio>
#include <functional>
#include <string>

#include "Completion.h"
#include "EditBuffer.h"
#include "History.h"
#include "HistorySearch.h"
#include "LineSplitter.h"
#include "Terminal.h"

namespace quorvane {
namespace cli {

class LineEditor {
public:
    // Candidates for the word before the cursor, given the line before that word.
    typedef std::function<Candidates(const std::string& before, const std::string& word)> Completer;
    enum Input { NOTHING, LINE, CANCELLED, QUIT };

    // historyFile empty: no history kept between sessions. keep decides which lines the
    // history may hold.
    LineEditor(const std::string& prompt, Completer completer, const std::string& historyFile, History::Filter keep);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    // Standard input and output are both terminals: the line is edited here.
    bool IsEditing() const { return editing_; }
    int Fd() const { return 0; }
    // Takes what standard input has ready (one read).
    void Read();
    // Keys or lines already read wait to be taken: Next needs no Read first.
    bool HasPending() const;
    // Works through what was read: LINE when a line was entered (answered, after Ask),
    // CANCELLED when a question was dropped, QUIT at the end of the input.
    Input Next(std::string& line);

    // Draws the prompt and the line being typed; after a line was entered it stays off
    // the screen until this is called.
    void Show();
    // The next line answers the question instead of being a command; hidden: not shown
    // as typed (a password). Editing only.
    void Ask(const std::string& question, bool hidden);
    // A line of text above the line being typed, which is drawn again below it. Control
    // characters from the server are shown as ^X, never sent to the terminal as such.
    void Print(const std::string& text);
    // Draws the line again (the window changed size).
    void Redraw() { Refresh(); }

    const History& Lines() const { return history_; }

private:
    Input Handle(const Key& key, std::string& line);
    Input Accept(std::string& line);
    Input Interrupt(bool again);
    Input EndOfInput();
    void Recall(bool older);
    void Complete();
    void Suspend();
    void Refresh();
    void Write(const std::string& bytes);

    Terminal terminal_;
    bool editing_;
    std::string prompt_;
    std::string question_;
    bool asking_ = false;
    bool hidden_ = false;
    bool shown_ = false;
    bool lastWasInterrupt_ = false;
    bool ended_ = false;
    size_t scroll_ = 0;    // the first character of the line that fits on the screen
    std::string pending_;  // bytes read, not yet taken as keys
    LineSplitter plain_;   // not editing: the lines of the input
    EditBuffer buffer_;
    History history_;
    HistorySearch search_{history_};
    std::string historyFile_;
    Completer completer_;
};

}  // namespace cli
}  // namespace quorvane

#endif
