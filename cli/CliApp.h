// The program: logs in, then runs commands from -c or from standard input that is not a
// terminal (scripts: rows only, stop at the first refusal), or a prompt on a terminal
// (people: readable lines, a confirmation for each command, the server's lines as they
// come). One thread; signal handlers only set flags.
#ifndef QUORVANE_CLI_CLIAPP_H
#define QUORVANE_CLI_CLIAPP_H

#include <memory>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "ClientSession.h"
#include "CommandTable.h"
#include "Completion.h"

namespace quorvane {
namespace cli {

class LineEditor;

// Exit codes.
enum { EXIT_OK = 0, EXIT_COMMAND_FAILED = 1, EXIT_NO_SESSION = 2 };

class CliApp {
public:
    explicit CliApp(const CliOptions& options);
    ~CliApp();
    int Run();

private:
    enum Wait { INPUT, IDLE, GONE };

    int RunScript();
    int RunPiped();
    int RunInteractive();
    // Waits until fd has input (fd < 0: only the time until the next keep-alive), taking
    // in the server's lines meanwhile; GONE once the server has closed the connection.
    Wait WaitForInput(int fd);
    // A command of a script; a refusal is reported on standard error.
    bool RunScriptCommand(const std::string& text);
    // Runs one typed command; false with the reason when it failed.
    bool RunCommand(const std::string& text, std::string& error);
    bool Transfer(const Request& request, std::string& error);
    // Where a download goes, and whether an existing file there may be replaced (asked
    // at the prompt). False with a reason when it must not go ahead; false with an empty
    // reason when the person said no.
    bool Destination(const Request& request, std::string& path, bool& replace, std::string& error);
    void PrintResult(const Request& request, const Reply& reply);
    void Emit(const Record& record);
    void Say(const std::string& text);  // readable text: above the prompt when there is one
    bool AskSecret(const std::string& prompt, const char* variable, std::string& secret);
    // A question at the prompt, answered while the server's lines keep coming.
    bool Ask(const std::string& question, bool hidden, std::string& answer);
    void OnServerLine(const std::string& line, const ChannelTree& before);
    Candidates Complete(const std::string& before, const std::string& word) const;
    // Rows as text for people rather than for scripts.
    bool Readable() const { return interactive_ && !options_.json; }

    CliOptions options_;
    ClientSession session_;
    std::unique_ptr<LineEditor> editor_;
    bool interactive_ = false;
    bool quit_ = false;
    const Echo* holding_ = nullptr;  // at the prompt: the running command's echoes
    std::vector<std::string> held_;  // the lines held back for it
};

}  // namespace cli
}  // namespace quorvane

#endif
