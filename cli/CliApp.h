// The program: logs in, then runs the -c commands in order (scripts) or a prompt
// (people), printing results as rows or readable text.
#ifndef QUORVANE_CLI_CLIAPP_H
#define QUORVANE_CLI_CLIAPP_H

#include <memory>
#include <string>

#include "ClientSession.h"
#include "CliOptions.h"
#include "CommandTable.h"

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
    int RunScript();
    int RunInteractive();
    // Runs one typed command; false with the reason when it failed.
    bool RunCommand(const std::string& text, std::string& error);
    bool Transfer(const Request& request, std::string& error);
    void PrintResult(const Request& request, const Reply& reply);
    void Emit(const Record& record);
    void Say(const std::string& text);  // readable text: above the prompt when there is one
    bool AskSecret(const std::string& prompt, const char* variable, std::string& secret);

    CliOptions options_;
    ClientSession session_;
    std::unique_ptr<LineEditor> editor_;
    bool interactive_ = false;
    bool quit_ = false;
};

}  // namespace cli
}  // namespace quorvane

#endif
