#include "LineEditor.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace quorvane {
namespace cli {

namespace {

const char* const CLEAR_LINE = "\r\x1b[K";

// The characters [from, from + count) of a UTF-8 text.
std::string Slice(const std::string& text, size_t from, size_t count) {
    std::string out;
    size_t index = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool starts = (static_cast<unsigned char>(text[i]) & 0xc0) != 0x80;
        if (starts) ++index;
        if (index > from && index <= from + count) out += text[i];
    }
    return out;
}

// Text from elsewhere, made safe to write: control characters other than LF and Tab
// (escape sequences that would move the cursor or retitle the window) become ^X.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
            out += '^';
            out += static_cast<char>(byte == 0x7f ? '?' : byte + '@');
        } else {
            out += c;
        }
    }
    return out;
}

// Names side by side in columns as wide as the longest, as many as fit the width.
std::string Columned(const std::vector<std::string>& names, size_t width) {
    size_t longest = 0;
    for (const std::string& name : names) longest = std::max(longest, EditBuffer::Columns(name));
    const size_t perRow = std::max<size_t>(1, width / (longest + 2));
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size() || (i + 1) % perRow == 0;
        out += names[i];
        if (!last) out += std::string(longest + 2 - EditBuffer::Columns(names[i]), ' ');
        if (last && i + 1 != names.size()) out += '\n';
    }
    return out;
}

}  // namespace

LineEditor::LineEditor(const std::string& prompt, Completer completer, const std::string& historyFile,
                       History::Filter keep)
    : terminal_(0),
      editing_(terminal_.IsTerminal() && ::isatty(1) == 1),
      prompt_(prompt),
      history_(std::move(keep)),
      historyFile_(historyFile),
      completer_(std::move(completer)) {
    if (!editing_) return;
    if (!historyFile_.empty()) history_.Load(historyFile_);
    terminal_.Busy();
}

LineEditor::~LineEditor() {
    if (!editing_) return;
    if (shown_) Write(CLEAR_LINE);
    terminal_.Restore();
    if (!historyFile_.empty()) history_.Save(historyFile_);
}

void LineEditor::Write(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void LineEditor::Read() {
    if (!editing_) {
        plain_.ReadFrom(Fd());
        return;
    }
    char chunk[4096];
    const ssize_t n = ::read(Fd(), chunk, sizeof(chunk));
    if (n > 0) pending_.append(chunk, static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) ended_ = true;
}

bool LineEditor::HasPending() const {
    if (!editing_) return plain_.Ready();
    Key key;
    return ended_ || DecodeKey(pending_, 0, key) > 0;
}

LineEditor::Input LineEditor::Next(std::string& line) {
    if (!editing_) {
        const LineSplitter::Result got = plain_.Next(line);
        return got == LineSplitter::GOT_LINE ? LINE : got == LineSplitter::FINISHED ? QUIT : NOTHING;
    }
    if (!shown_) Show();
    for (;;) {
        Key key;
        const size_t used = DecodeKey(pending_, 0, key);
        if (used == 0) return ended_ ? EndOfInput() : NOTHING;
        pending_.erase(0, used);
        const Input input = Handle(key, line);
        if (input != NOTHING) return input;
    }
}

LineEditor::Input LineEditor::Handle(const Key& key, std::string& line) {
    const bool again = lastWasInterrupt_;
    lastWasInterrupt_ = key.code == KeyCode::INTERRUPT;
    if (search_.Active() && search_.Take(key, buffer_)) {
        Refresh();
        return NOTHING;
    }
    switch (key.code) {
    case KeyCode::ENTER: return Accept(line);
    case KeyCode::INTERRUPT: return Interrupt(again);
    case KeyCode::END_OF_INPUT:
        if (buffer_.Empty()) return EndOfInput();
        buffer_.Apply(key);
        break;
    case KeyCode::TAB: Complete(); break;
    case KeyCode::UP:
    case KeyCode::DOWN: Recall(key.code == KeyCode::UP); break;
    case KeyCode::CLEAR_SCREEN: Write("\x1b[H\x1b[2J"); break;
    case KeyCode::SUSPEND: Suspend(); break;
    case KeyCode::SEARCH_HISTORY:
        if (!asking_) search_.Begin(buffer_.Text());
        break;
    default: buffer_.Apply(key); break;
    }
    Refresh();
    return NOTHING;
}

LineEditor::Input LineEditor::Accept(std::string& line) {
    Refresh();
    Write("\n");
    shown_ = false;
    terminal_.Busy();
    line = buffer_.Text();
    buffer_.Clear();
    scroll_ = 0;
    if (asking_) {
        asking_ = hidden_ = false;
    } else {
        history_.Add(line);
    }
    return LINE;
}

LineEditor::Input LineEditor::Interrupt(bool again) {
    Write("^C\n");
    shown_ = false;
    terminal_.Busy();
    const bool empty = buffer_.Empty();
    buffer_.Clear();
    scroll_ = 0;
    history_.Add("");  // navigation starts again from the newest
    if (asking_) {
        asking_ = hidden_ = false;
        return CANCELLED;
    }
    if (empty && again) return QUIT;
    if (empty) Write("(Press Ctrl+C again or Ctrl+D to quit.)\n");
    Show();
    return NOTHING;
}

LineEditor::Input LineEditor::EndOfInput() {
    if (shown_) Write("\n");
    shown_ = false;
    terminal_.Busy();
    if (asking_) {
        asking_ = hidden_ = false;
        buffer_.Clear();
        if (!ended_) return CANCELLED;
    }
    return QUIT;
}

void LineEditor::Recall(bool older) {
    if (asking_) return;
    std::string text = buffer_.Text();
    if (older ? history_.Older(text) : history_.Newer(text)) buffer_.Set(text);
}

void LineEditor::Complete() {
    if (asking_ || !completer_) return;
    size_t start = 0;
    std::string word;
    WordBeforeCursor(buffer_.Text(), buffer_.Cursor(), start, word);
    const Completed completed =
        CompleteWord(buffer_.Text(), buffer_.Cursor(), completer_(buffer_.Text().substr(0, start), word));
    if (!completed.replacement.empty()) {
        buffer_.ReplaceBeforeCursor(completed.start, completed.replacement);
    } else if (!completed.choices.empty()) {
        Print(Columned(completed.choices, static_cast<size_t>(terminal_.Columns())));
    } else {
        Write("\a");
    }
}

void LineEditor::Suspend() {
    Write(CLEAR_LINE);
    terminal_.Restore();
    std::raise(SIGTSTP);  // stops here until the shell continues the client
    terminal_.Raw();
}

void LineEditor::Show() {
    if (!editing_ || shown_) return;
    terminal_.Raw();
    shown_ = true;
    Refresh();
}

void LineEditor::Ask(const std::string& question, bool hidden) {
    asking_ = true;
    hidden_ = hidden;
    question_ = question;
    buffer_.Clear();
    scroll_ = 0;
    Show();
}

void LineEditor::Print(const std::string& text) {
    if (!editing_) {
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    Write((shown_ ? CLEAR_LINE : "") + Printable(text) + "\n");
    Refresh();
}

// One screen line: the prompt, then as much of the line as fits, scrolled sideways so
// that the cursor is always in view.
void LineEditor::Refresh() {
    if (!shown_) return;
    const std::string prompt = asking_ ? question_ : search_.Active() ? search_.Prompt() : prompt_;
    const size_t promptColumns = EditBuffer::Columns(prompt);
    const size_t columns = static_cast<size_t>(terminal_.Columns());
    const size_t room = columns > promptColumns + 2 ? columns - promptColumns - 1 : 1;
    const std::string& text = buffer_.Text();
    const size_t cursor = hidden_ ? 0 : EditBuffer::Columns(text.substr(0, buffer_.Cursor()));
    if (cursor < scroll_) scroll_ = cursor;
    if (cursor > scroll_ + room) scroll_ = cursor - room;
    std::string out = CLEAR_LINE + prompt + (hidden_ ? "" : Slice(text, scroll_, room)) + "\x1b[K\r";
    const size_t at = promptColumns + cursor - scroll_;
    if (at > 0) out += "\x1b[" + std::to_string(at) + "C";
    Write(out);
}

}  // namespace cli
}  // namespace quorvane
