// The prompt's pieces without a terminal: keys decoded from what terminals send and
// applied to the line, Tab completion, and the history with its file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "Completion.h"
#include "EditBuffer.h"
#include "History.h"
#include "HistorySearch.h"
#include "Key.h"

namespace quorvane {
namespace cli {
namespace {

// The line after the bytes were typed, with the cursor shown as |.
std::string Typed(const std::string& bytes) {
    EditBuffer line;
    size_t pos = 0;
    Key key;
    while (size_t used = DecodeKey(bytes, pos, key)) {
        line.Apply(key);
        pos += used;
    }
    return line.Text().substr(0, line.Cursor()) + "|" + line.Text().substr(line.Cursor());
}

TEST(LineEditingTest, KeysFromTheTerminalEditTheLine) {
    const struct {
        const char* bytes;
        const char* line;
    } cases[] = {
        {"say hi", "say hi|"},
        {"say hi\x7f\x7fyo", "say yo|"},                  // Backspace
        {"abc\x1b[D\x1b[Dx", "ax|bc"},                    // Left (not the ^[[D the terminal sent)
        {"abc\x1bOD\x1bOD\x1b[C\x1b[3~", "ab|"},          // application-mode Left, Right, Delete
        {"abc\x01x\x05y", "xabcy|"},                      // Ctrl+A, Ctrl+E
        {"ab\x1b[Hx\x1b[Fy\x1b[1~z\x1b[4~!", "zxaby!|"},  // Home and End in three spellings
        {"one two three\x17", "one two |"},               // Ctrl+W
        {"one two\x1b[1;5D\x0b", "one |"},                // Ctrl+Left, Ctrl+K
        {"one two\x1b"
         "b\x15",
         "|two"},                                   // Alt+B, Ctrl+U
        {"one two \x17\x19\x19", "one two two |"},  // Ctrl+Y puts back what was killed
        {"ab\x02\x04", "a|"},                       // Ctrl+D deletes under the cursor
        {"caf\xc3\xa9\x7f"
         "e",
         "cafe|"},  // one Backspace takes a whole character
        {"\xc3\xa9t\xc3\xa9\x1b[D\x1b[D", "\xc3\xa9|t\xc3\xa9"},
        {"a\x1b[5~\x1b[1;2Ab\x07", "ab|"},  // keys without a use change nothing
    };
    for (const auto& c : cases) EXPECT_EQ(Typed(c.bytes), c.line) << c.bytes;

    // A key cut between two reads waits for its end.
    Key key;
    EXPECT_EQ(DecodeKey("\x1b[", 0, key), 0u);
    EXPECT_EQ(DecodeKey("\xc3", 0, key), 0u);
    EXPECT_EQ(DecodeKey("\x1b[A", 0, key), 3u);
    EXPECT_EQ(key.code, KeyCode::UP);
    EXPECT_EQ(DecodeKey("\r", 0, key), 1u);
    EXPECT_EQ(key.code, KeyCode::ENTER);
}

TEST(LineEditingTest, TabCompletesOneMatchExtendsSeveralOrListsThem) {
    const Candidates users{{"bob", "bobby", "Carol", "dee dee"}};
    const Candidates channels{{"/Lobby/", "/Lobby/Quiet/", "/Ops/"}};
    const struct {
        const char* line;
        const Candidates& candidates;
        const char* result;  // the new line, or the choices shown
    } cases[] = {
        {"msg c", users, "msg Carol "},
        {"msg bo", users, "msg bob"},
        {"msg bob", users, "choices: bob bobby"},
        {"msg bobb", users, "msg bobby "},
        {"msg d", users, "msg \"dee dee\" "},
        {"msg \"dee", users, "msg \"dee dee\" "},
        {"msg x", users, "msg x"},
        {"join /L", channels, "join /Lobby/"},
        {"join /l", channels, "join /Lobby/"},
        {"join /Lobby/", channels, "choices: /Lobby/ /Lobby/Quiet/"},
        {"join /O", channels, "join /Ops/ "},
    };
    for (const auto& c : cases) {
        const std::string line = c.line;
        const Completed done = CompleteWord(line, line.size(), c.candidates);
        std::string result = line.substr(0, done.start) + done.replacement;
        if (done.replacement.empty()) result = line;
        if (!done.choices.empty()) {
            result = "choices:";
            for (const std::string& choice : done.choices) result += " " + choice;
        }
        EXPECT_EQ(result, c.result) << c.line;
    }

    // Local paths: a directory is completed with its slash and no blank, to go on into it.
    char dir[] = "/tmp/quorvane-cli-complete-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string base = dir;
    ASSERT_EQ(::mkdir((base + "/songs").c_str(), 0700), 0);
    std::ofstream(base + "/song.txt") << "x";
    std::ofstream(base + "/.hidden") << "x";
    EXPECT_EQ(
        CompleteWord("upload " + base + "/songs", 7 + base.size() + 6, {LocalPaths(base + "/songs"), true}).replacement,
        base + "/songs/");
    std::vector<std::string> all = LocalPaths(base + "/");
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<std::string>{base + "/song.txt", base + "/songs/"}));
    ::unlink((base + "/song.txt").c_str());
    ::unlink((base + "/.hidden").c_str());
    ::rmdir((base + "/songs").c_str());
    ::rmdir(dir);
}

TEST(LineEditingTest, HistoryRecallsKeepsNoPasswordsAndReadsOlderFiles) {
    History history([](const std::string& line) { return !HoldsSecret(line); });
    for (const char* line : {"join /Lobby/", "join /Club/ s3cret", "say hi", "say hi", "server password=x",
                             "admin root", "mkchan /X/ topic=T password=p", "setchan /X/ topic=U", "", "tree"}) {
        history.Add(line);
    }
    EXPECT_EQ(history.Entries(), (std::vector<std::string>{"join /Lobby/", "say hi", "setchan /X/ topic=U", "tree"}));

    std::string shown = "half typed";
    ASSERT_TRUE(history.Older(shown));
    EXPECT_EQ(shown, "tree");
    ASSERT_TRUE(history.Older(shown) && history.Older(shown) && history.Older(shown));
    EXPECT_EQ(shown, "join /Lobby/");
    EXPECT_FALSE(history.Older(shown));
    while (history.Newer(shown)) {
    }
    EXPECT_EQ(shown, "half typed");

    // Saved readable by the owner alone; a file of earlier versions is read with its
    // escapes, and the passwords in it are dropped.
    char path[] = "/tmp/quorvane-cli-history-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_TRUE(history.Save(path));
    struct stat info;
    ASSERT_EQ(::stat(path, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    History again(nullptr);
    again.Load(path);
    EXPECT_EQ(again.Entries(), history.Entries());

    std::ofstream(path) << "_HiStOrY_V2_\nsay\\040two\\040words\njoin\\040/A/\\040pw\nsay\\040a\\\\b\\M-C\\M-)\n";
    History old([](const std::string& line) { return !HoldsSecret(line); });
    old.Load(path);
    EXPECT_EQ(old.Entries(), (std::vector<std::string>{"say two words", "say a\\b\xc3\xa9"}));
    ::unlink(path);
}

TEST(LineEditingTest, CtrlRSearchesTheHistoryNewestFirst) {
    History history(nullptr);
    for (const char* line : {"join /Lobby/", "say hello all", "say hi", "tree"}) history.Add(line);
    const struct {
        const char* bytes;  // typed after "draft", Ctrl+R first
        const char* shown;  // the prompt's text and the line, the cursor as |
        bool searching;
    } cases[] = {
        {"", "(search: ) draft|", true},
        {"say", "(search: say) |say hi", true},
        {"say\x12", "(search: say) |say hello all", true},                     // Ctrl+R: the next older one
        {"say\x12\x12", "(no earlier line holds: say) |say hello all", true},  // none older: the match stays
        {"say he\x7f\x7f", "(search: say ) |say hi", true},                    // Backspace widens it again
        {"lob", "(search: lob) join /|Lobby/", true},                          // letter case aside
        {"xyz", "(no earlier line holds: xyz) draft|", true},
        {"say\x07", "draft|", false},   // Ctrl+G: the line as it was
        {"say\x05", "say hi|", false},  // any other key takes the match and acts: Ctrl+E
        {"tr\r", "|tree", false},       // Enter takes it (the editor then runs it)
    };
    for (const auto& c : cases) {
        HistorySearch search(history);
        EditBuffer line;
        line.Set("draft");
        search.Begin(line.Text());
        const std::string bytes = c.bytes;
        size_t pos = 0;
        Key key;
        while (size_t used = DecodeKey(bytes, pos, key)) {
            if (!search.Take(key, line)) line.Apply(key);
            pos += used;
        }
        const std::string shown = (search.Active() ? search.Prompt() : "") + line.Text().substr(0, line.Cursor()) +
                                  "|" + line.Text().substr(line.Cursor());
        EXPECT_EQ(shown, c.shown) << c.bytes;
        EXPECT_EQ(search.Active(), c.searching) << c.bytes;
    }
}

}  // namespace
}  // namespace cli
}  // namespace quorvane
