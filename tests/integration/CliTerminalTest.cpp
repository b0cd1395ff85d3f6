// quorvane-cli's prompt in a real terminal (tmux) against the real server: keys typed
// one command after another, completion and history as drawn on the screen, the
// server's lines arriving while a line is half typed, the server going away, the ways
// out, and what each command says it did.
#include <sys/stat.h>

#include <memory>
#include <string>

#include "CliFixture.h"
#include "TmuxTerminal.h"

namespace quorvane {
namespace test {
namespace {

class CliTerminalTest : public CliFixture {
protected:
    // The client at its prompt in a terminal of its own, in a directory of its own
    // (which is also its home, for the history file).
    std::unique_ptr<TmuxTerminal> Prompt(const std::string& home, std::vector<std::string> args,
                                         const std::string& password = "") {
        ::mkdir(PathOf(home).c_str(), 0700);
        std::unique_ptr<TmuxTerminal> terminal(
            new TmuxTerminal(PathOf(home), QUORVANE_CLI_BINARY, ClientArgs(args),
                             {"HOME=" + PathOf(home), "QUORVANE_PASSWORD=" + password}));
        EXPECT_TRUE(terminal->Started());
        terminal->WaitForLastLine("quorvane>");
        return terminal;
    }

    // The client ended with the status, left the terminal as it found it, and no
    // sanitizer had anything to say.
    void ExpectEnd(const TmuxTerminal& terminal, int status) {
        EXPECT_EQ(terminal.WaitForExit(), status) << terminal.ScreenText();
        EXPECT_TRUE(terminal.TerminalRestored()) << "the terminal was left in another mode";
        EXPECT_EQ(terminal.SanitizerReports(), "");
    }
};

TEST_F(CliTerminalTest, PromptKeepsEditingAcrossCommandsWhileTheServerTalks) {
    const std::string root = PathOf("files");
    ::mkdir(root.c_str(), 0700);
    StartWith(root);
    TestUser bob;
    JoinLobby(bob, "bob");
    std::unique_ptr<TmuxTerminal> t = Prompt("zed", {"--user", "zed"});
    WriteFile("zed/notes.txt", "hello notes\n");

    // Completion shows on the screen; the command's line stays as typed and the next
    // prompt starts on a line of its own.
    t->Type("join /Lob");
    t->Press("Tab");
    t->WaitForLastLine("quorvane> join /Lobby/");
    t->Press("Enter");
    t->WaitForText("quorvane> join /Lobby/\nYou joined /Lobby/\nbob (1) is in /Lobby/\nquorvane>");
    t->TypeLine("say hi there");
    t->WaitForText("[/Lobby/] you: hi there\nquorvane>");
    MessagesUntil(bob, "hi there");
    t->Type("msg b");
    t->Press("Tab");
    t->WaitForLastLine("quorvane> msg bob");
    t->TypeLine("psst");
    t->WaitForText("[you -> bob (1)] psst");
    MessagesUntil(bob, "psst");

    // A line of the server arrives while a line is half typed: it shows above, and the
    // typing goes on where it was.
    t->Type("say half");
    t->WaitForLastLine("quorvane> say half");
    bob.tcp.Send("message type=2 channel=\"/Lobby/\" content=\"news from bob\"\r\n");
    t->WaitForText("[/Lobby/] bob (1): news from bob\nquorvane> say half");
    t->TypeLine(" done");
    MessagesUntil(bob, "half done");

    // History and the editing keys.
    t->Press("Up");
    t->WaitForLastLine("quorvane> say half done");
    t->Press("C-u");
    t->WaitForLastLine("quorvane>");
    // Ctrl+R finds an earlier line; Ctrl+G gives back the line as it was.
    t->Press("C-r");
    t->Type("half");
    t->WaitForLastLine("(search: half) say half done");
    t->Press("C-g");
    t->WaitForLastLine("quorvane>");
    t->TypeLine("nick zoe");
    t->WaitForText("You are now known as zoe.\nquorvane>");

    // Transfers in words; an existing file is replaced only after a yes.
    t->TypeLine("upload notes.txt");
    t->WaitForText("Uploaded notes.txt (12 B) to /Lobby/ in ");
    t->TypeLine("download notes.txt");
    t->WaitForText("notes.txt exists. Replace it? [y/N]");
    t->TypeLine("n");
    t->WaitForText("Nothing downloaded; notes.txt stays as it was.");
    t->TypeLine("join /Lobby/ s3cret");
    t->WaitForText("Files in /Lobby/: notes.txt (12 B)\nquorvane>");
    t->TypeLine("tree");
    t->WaitForText("    zoe (2) <- you\n    file notes.txt  12 bytes\nquorvane>");
    t->Press("C-l");
    EXPECT_TRUE(testing_support::WaitFor([&] { return t->Screen() == std::vector<std::string>{"quorvane>"}; }))
        << t->ScreenText();

    t->Press("C-d");
    ExpectEnd(*t, 0);
    const std::string history = ReadFile("zed/.quorvane_cli_history");
    EXPECT_NE(history.find("say half done\n"), std::string::npos) << history;
    EXPECT_EQ(history.find("s3cret"), std::string::npos) << history;
}

TEST_F(CliTerminalTest, CtrlCClearsTheLineThenQuitsAndCtrlDQuits) {
    StartWith();
    const struct {
        const char* typed;
        const char* keys;   // pressed after typing
        const char* shown;  // on the screen before the last key
        const char* last;   // the key that quits
    } cases[] = {
        {"say abc", "C-c", "quorvane> say abc^C\nquorvane>", "C-c"},
        {"", "C-c", "quorvane> ^C\n(Press Ctrl+C again or Ctrl+D to quit.)\nquorvane>", "C-c"},
        {"say abc", "C-a", "quorvane> say abc", "C-c"},  // Ctrl+C after another key clears first
        {"ab", "C-b", "quorvane> ab", "C-d"},            // Ctrl+D deletes under the cursor...
    };
    int run = 0;
    for (const auto& c : cases) {
        std::unique_ptr<TmuxTerminal> t = Prompt("run" + std::to_string(++run), {"--user", "u" + std::to_string(run)});
        if (*c.typed != '\0') t->Type(c.typed);
        t->Press(c.keys);
        t->WaitForText(c.shown);
        t->Press(c.last);
        if (std::string(c.keys) == "C-a") {
            t->WaitForLastLine("quorvane>");  // the line is cleared; the next Ctrl+C quits
            t->Press("C-c");
        }
        if (std::string(c.last) == "C-d") {
            t->WaitForLastLine("quorvane> a");  // ...and quits on an empty line
            t->Press("C-u");
            t->Press("C-d");
        }
        ExpectEnd(*t, 0);
    }
}

TEST_F(CliTerminalTest, AKickOrTheServerGoingAwayShowsWithoutAKeyPress) {
    StartWith();
    TestUser admin;
    ASSERT_TRUE(ConnectAdmin(admin, "root", "secret"));
    const struct {
        const char* way;
        const char* said;
    } cases[] = {
        {"kick", "The server closed the connection and still runs: kicked by an operator or the administrator."},
        {"stop", "The server closed the connection."},
    };
    for (const auto& c : cases) {
        std::unique_ptr<TmuxTerminal> t = Prompt(c.way, {"--user", c.way});
        t->Type("say half");
        t->WaitForLastLine("quorvane> say half");
        if (std::string(c.way) == "kick") {
            admin.tcp.Send("kick userid=" + std::to_string(admin.id + 1) + "\r\n");
        } else {
            StopServer();
        }
        t->WaitForText(c.said);
        ExpectEnd(*t, 1);
    }
}

TEST_F(CliTerminalTest, AdministratorPromptSaysWhatEachCommandDid) {
    StartWith();
    TestUser bob;
    JoinLobby(bob, "bob");
    std::unique_ptr<TmuxTerminal> t = Prompt("root", {"--admin", "root"}, "secret");
    const struct {
        const char* typed;
        const char* said;
    } steps[] = {
        {"say hi", "error: administrators cannot send channel messages; log in with --user for that"},
        {"ban bob", "Banned bob (127.0.0.1)."},
        {"bans", "127.0.0.1  bob  in /Lobby/  since "},
        {"unban 127.0.0.1", "Unbanned 127.0.0.1."},
        {"bans", "No bans."},
        {"mkchan /Ops/ topic=Staff password=pw",
         "quorvane> mkchan /Ops/ topic=Staff password=pw\nChannel /Ops/ created.\n"},
        {"server password= motd=Hey", "quorvane> server password= motd=Hey\nServer settings updated.\n"},
        {"save", "Configuration saved."},
        {"kick bob", "quorvane> kick bob\nKicked bob (1).\n"},
    };
    for (const auto& step : steps) {
        t->TypeLine(step.typed);
        t->WaitForText(step.said);
    }
    EXPECT_TRUE(bob.tcp.WaitClosed(DEFAULT_TIMEOUT_MS)) << "bob was not kicked";
    t->TypeLine("quit");
    ExpectEnd(*t, 1);  // the refused say
    const std::string history = ReadFile("root/.quorvane_cli_history");
    EXPECT_NE(history.find("ban bob\n"), std::string::npos) << history;
    EXPECT_EQ(history.find("password="), std::string::npos) << history;
}

}  // namespace
}  // namespace test
}  // namespace quorvane
