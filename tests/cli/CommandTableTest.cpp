// The plain-word commands and the protocol lines they become, judged against a fixed
// view of the server.
#include <gtest/gtest.h>

#include "CommandTable.h"

namespace quorvane {
namespace cli {
namespace {

ChannelTree SampleTree() {
    ChannelTree tree;
    for (const char* line : {
             "welcome userid=1 servername=\"Srv\" motd=\"M\" forwarding=1 channels=1 operators=0 protocol=\"3.4\"",
             "accepted userid=1 nickname=\"ann\" address=\"127.0.0.1\" soundport=5 bandmode=0 framesize=1 "
             "encodedframesize=1 fpp=1",
             "addchannel channel=\"/\" password=\"\" static=1 topic=\"\" operators=[] usercount=0 diskquota=0",
             "addchannel channel=\"/Lobby/\" password=\"pw\" static=1 topic=\"T\" operators=[] usercount=2 diskquota=5",
             "joined channel=\"/Lobby/\"",
             "adduser userid=1 nickname=\"ann\" channel=\"/Lobby/\"",
             "adduser userid=2 nickname=\"bob\" channel=\"/Lobby/\"",
         }) {
        tree.Apply(line);
    }
    return tree;
}

// The protocol line without CR LF, the local action with its fields, or "error: ...".
std::string Outcome(const std::string& typed, const ChannelTree& tree) {
    Request request;
    std::string error;
    const CommandContext context{tree, [](const std::string&, std::string& secret) {
                                     secret = "s3";
                                     return true;
                                 }};
    if (!BuildRequest(typed, context, request, error)) return "error: " + error;
    static const char* const names[] = {"nothing", "server", "tree", "help", "quit", "upload", "download"};
    if (request.action == Action::SERVER) return request.line.substr(0, request.line.size() - 2);
    return std::string(names[static_cast<int>(request.action)]) + " " + request.localPath + "|" + request.remoteName +
           "|" + request.channel;
}

TEST(CommandTableTest, PlainWordsBecomeProtocolLines) {
    const ChannelTree tree = SampleTree();
    const struct {
        const char* typed;
        const char* expected;
    } cases[] = {
        {"join Lobby", "join channel=\"/Lobby/\" password=\"\""},
        {"JOIN /a/b secret", "join channel=\"/a/b/\" password=\"secret\""},
        {"leave", "leave"},
        {"msg bob hello   there", "message type=1 channel=\"\" to=2 content=\"hello   there\""},
        {"msg 7 \"one word\"", "message type=1 channel=\"\" to=7 content=\"one word\""},
        {"msg BOB hi", "message type=1 channel=\"\" to=2 content=\"hi\""},
        {"say hi \"you\"", "message type=2 channel=\"/Lobby/\" content=\"hi \\\"you\\\"\""},
        {"stats", "message type=2 channel=\"/Lobby/\" content=\"/stats\""},
        {"nick zed", "changenick nickname=\"zed\""},
        {"status 2 out for lunch", "changestatus statusmode=2 statusmessage=\"out for lunch\""},
        {"status away", "error: MODE must be a number"},
        {"rm song.mp3", "deletefile filename=\"song.mp3\" channel=\"/Lobby/\""},
        {"mkchan /Ops/ topic=Staff quota=100",
         "makechannel channel=\"/Ops/\" password=\"\" topic=\"Staff\" diskquota=100"},
        {"mkchan /Ops/ quota=lots", "error: quota must be a number"},
        {"mkchan /Ops/ colour=red", "error: \"colour=red\" is not NAME=VALUE with NAME one of topic, password, quota"},
        {"setchan /lobby/ topic=New",
         "updatechannel channel=\"/Lobby/\" password=\"pw\" topic=\"New\" static=1 diskquota=5"},
        {"setchan /Lobby/ static=0 password=",
         "updatechannel channel=\"/Lobby/\" password=\"\" topic=\"T\" static=0 diskquota=5"},
        {"setchan /Nowhere/", "error: no channel /Nowhere/"},
        {"rmchan Lobby", "removechannel channel=\"/Lobby/\""},
        {"move bob /Ops/", "moveuser srcchannel=\"/Lobby/\" destchannel=\"/Ops/\" userid=2"},
        {"move 9 /Ops/", "moveuser srcchannel=\"/\" destchannel=\"/Ops/\" userid=9"},
        {"kick bob", "kick userid=2"},
        {"kick nobody", "error: no user called \"nobody\" in view; give the user id instead"},
        {"op bob", "op userid=2 channel=\"/Lobby/\""},
        {"ban 2", "ban userid=2"},
        {"unban 10.0.0.1", "unban address=\"10.0.0.1\""},
        {"bans", "listbans"},
        {"who", "listusers"},
        {"server name=New", "error: give password= too (password= with nothing clears it)"},
        {"server password= motd=Hi",
         "updateserver channels=1 operators=0 servername=\"Srv\" password=\"\" motd=\"Hi\""},
        {"server password=p channels=2", "error: channels must be 0 or 1"},
        {"admin root", "updateadmin username=\"root\" password=\"s3\""},
        {"save", "saveconfig"},
        {"leave now", "error: usage: leave"},
        {"msg bob", "error: usage: msg NICK TEXT"},
        {"frobnicate", "error: unknown command \"frobnicate\" (type help)"},
        {"say \"unclosed", "error: unclosed \""},
        {"   ", "nothing ||"},
        {"upload /tmp/x/song.mp3", "upload /tmp/x/song.mp3|song.mp3|/Lobby/"},
        {"upload a.txt 'b c.txt'", "upload a.txt|b c.txt|/Lobby/"},
        {"download ../../etc/passwd", "download passwd|../../etc/passwd|/Lobby/"},
        {"download song.mp3 /tmp/out", "download /tmp/out|song.mp3|/Lobby/"},
        {"download ..", "error: give a PATH to save \"..\" as"},
        {"tree", "tree ||"},
        {"help kick", "help |kick|"},
        {"quit", "quit ||"},
    };
    for (const auto& c : cases) EXPECT_EQ(Outcome(c.typed, tree), c.expected) << c.typed;
}

TEST(CommandTableTest, ChannelCommandsNeedAChannelAndCompletionKnowsArgumentKinds) {
    ChannelTree outside = SampleTree();
    outside.Apply("left channel=\"/Lobby/\"");
    for (const char* typed : {"say hi", "stats", "upload f", "download f", "rm f"}) {
        EXPECT_EQ(Outcome(typed, outside), "error: join a channel first") << typed;
    }
    EXPECT_EQ(ArgumentKind("join", 0), ArgKind::CHANNEL);
    EXPECT_EQ(ArgumentKind("move", 0), ArgKind::USER);
    EXPECT_EQ(ArgumentKind("move", 1), ArgKind::CHANNEL);
    EXPECT_EQ(ArgumentKind("download", 0), ArgKind::REMOTE_FILE);
    EXPECT_EQ(ArgumentKind("upload", 0), ArgKind::LOCAL_FILE);
    EXPECT_EQ(ArgumentKind("nosuch", 0), ArgKind::NONE);
}

TEST(CommandTableTest, SplitsWordsWithQuotesAndKeepsTheRawRest) {
    const struct {
        const char* typed;
        std::vector<std::string> words;
        std::string lastRest;
    } cases[] = {
        {"  a  b\tc  ", {"a", "b", "c"}, "c"},
        {"say \"two words\" 'it''s'", {"say", "two words", "its"}, "'it''s'"},
        {"x \"a\\\"b\\\\\"", {"x", "a\"b\\"}, "\"a\\\"b\\\\\""},
        {"pre\"fix\"ed", {"prefixed"}, "pre\"fix\"ed"},
        {"", {}, ""},
    };
    for (const auto& c : cases) {
        Words typed;
        std::string error;
        ASSERT_TRUE(SplitWords(c.typed, typed, error)) << c.typed << ": " << error;
        EXPECT_EQ(typed.words, c.words) << c.typed;
        EXPECT_EQ(typed.rest.empty() ? "" : typed.rest.back(), c.lastRest) << c.typed;
    }
}

Request Built(const std::string& typed, const ChannelTree& tree, std::string& error) {
    Request request;
    const CommandContext context{tree, [](const std::string&, std::string& secret) {
                                     secret = "s3";
                                     return true;
                                 }};
    if (!BuildRequest(typed, context, request, error)) request.confirmation = "error: " + error;
    return request;
}

TEST(CommandTableTest, EachCommandCarriesItsConfirmationAndTheEchoesItHoldsBack) {
    ChannelTree tree = SampleTree();
    tree.Apply("updateuser userid=2 nickname=\"bob\" channel=\"/Lobby/\" address=\"127.0.0.2\"");
    const struct {
        const char* typed;
        const char* confirmation;
        const char* echoed;     // a line the prompt holds back while the command runs
        const char* notEchoed;  // a line it shows
    } cases[] = {
        {"ban bob", "Banned bob (127.0.0.2).", "", ""},
        {"ban 9", "Banned user 9.", "", ""},
        {"unban 127.0.0.2", "Unbanned 127.0.0.2.", "", ""},
        {"save", "Configuration saved.", "", ""},
        {"mkchan /x/", "Channel /x/ created.", "addchannel channel=\"/x/\"", "addchannel channel=\"/y/\""},
        {"setchan /lobby/ topic=x", "Channel /Lobby/ updated.", "updatechannel channel=\"/Lobby/\"",
         "joined channel=\"/Lobby/\""},
        {"rmchan x", "Channel /x/ removed.", "removechannel channel=\"/X/Sub/\"", "removechannel channel=\"/xy/\""},
        {"move bob /Ops/", "Moved bob (2) to /Ops/.", "adduser userid=2 channel=\"/Ops/\"",
         "adduser userid=3 channel=\"/Ops/\""},
        {"kick bob", "Kicked bob (2).", "removeuser userid=2 channel=\"/Lobby/\"",
         "removeuser userid=1 channel=\"/Lobby/\""},
        {"op bob", "bob (2) is now an operator of /Lobby/.", "", ""},
        {"server password=p", "Server settings updated.", "serverupdate servername=\"S\"", ""},
        {"admin root", "The administrator account is now root.", "", ""},
        {"nick zed", "You are now known as zed.", "", ""},
        {"status 2 out to lunch", "Your status is now 2: out to lunch.", "", ""},
        {"rm a.txt", "Deleted a.txt from /Lobby/.", "removefile filename=\"a.txt\" channel=\"/Lobby/\"", ""},
        {"msg bob hi  there", "[you -> bob (2)] hi  there", "", ""},
        {"join Lobby", "", "addfile filename=\"a\" channel=\"/Lobby/\"", "addfile filename=\"a\" channel=\"/Ops/\""},
        {"stats", "", "messagedeliver type=2 from=1 content=\"Uptime: 0:00:01\"",
         "messagedeliver type=2 from=2 content=\"x\""},
        {"say hi", "", "", "messagedeliver type=2 from=1 content=\"hi\""},
    };
    for (const auto& c : cases) {
        std::string error;
        const Request request = Built(c.typed, tree, error);
        EXPECT_EQ(request.confirmation, c.confirmation) << c.typed;
        if (*c.echoed != '\0') {
            EXPECT_TRUE(request.echo.Matches(c.echoed)) << c.typed;
        }
        if (*c.notEchoed != '\0') {
            EXPECT_FALSE(request.echo.Matches(c.notEchoed)) << c.typed;
        }
    }
    std::string error;
    EXPECT_TRUE(Built("download --force a.txt", tree, error).force);
    EXPECT_EQ(Outcome("download a.txt /tmp/out --force", tree), "download /tmp/out|a.txt|/Lobby/");
    EXPECT_FALSE(Built("download a.txt", tree, error).force);
}

TEST(CommandTableTest, AdministratorIsToldWhatItCannotDoAndSecretsAreRecognised) {
    ChannelTree admin = SampleTree();
    admin.administrator = true;
    admin.Apply("left channel=\"/Lobby/\"");
    const struct {
        const char* typed;
        const char* outcome;
    } cases[] = {
        {"say hi", "error: administrators cannot send channel messages; log in with --user for that"},
        {"msg bob hi", "error: administrators cannot send messages to users; log in with --user for that"},
        {"stats",
         "error: administrators cannot send channel messages, and the statistics answer one; log in with --user for "
         "that"},
        {"join /Lobby/", "error: the administrator cannot join channels; log in with --user for that"},
        {"nick x", "error: the administrator has no nickname or status; log in with --user for that"},
        {"upload f", "error: the administrator is in no channel to share files in; log in with --user for that"},
        {"rm f", "error: give the channel PATH: the administrator is in no channel"},
        {"rm f /Lobby/", "deletefile filename=\"f\" channel=\"/Lobby/\""},
        {"kick bob", "kick userid=2"},
    };
    for (const auto& c : cases) EXPECT_EQ(Outcome(c.typed, admin), c.outcome) << c.typed;

    // help marks what only the administrator may do.
    for (const char* word : {"mkchan", "ban", "bans", "who", "server", "save"})
        EXPECT_NE(CommandHelp(word).find(" (administrator)\n"), std::string::npos) << word;
    for (const char* word : {"join", "kick", "rm", "tree"})
        EXPECT_EQ(CommandHelp(word).find("(administrator)"), std::string::npos) << word;

    const struct {
        const char* typed;
        bool secret;
    } secrets[] = {
        {"join /Club/ s3cret", true},
        {"join /Club/", false},
        {"JOIN /Club/ \"two words\"", true},
        {"join /Club/ \"unclosed", true},
        {"server password=x", true},
        {"admin root", true},
        {"mkchan /X/ password=p", true},
        {"setchan /X/ topic=t", false},
        {"say hello", false},
        {"", false},
    };
    for (const auto& c : secrets) EXPECT_EQ(HoldsSecret(c.typed), c.secret) << c.typed;
}

}  // namespace
}  // namespace cli
}  // namespace quorvane
