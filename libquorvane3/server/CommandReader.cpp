#include "server/CommandReader.h"

#include <chrono>

#include "protocol/ErrorCodes.h"
#include "server/CommandTable.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

void CommandReader::OnData(const char* data, size_t length, bool& keepOpen) {
    buffer_.append(data, length);
    ProcessLines(keepOpen, true);
}

void CommandReader::OnTurn(bool& keepOpen) { ProcessLines(keepOpen, false); }

void CommandReader::ProcessLines(bool& keepOpen, bool onRead) {
    pendingInput_ = false;
    const std::chrono::steady_clock::time_point turnEnds =
        std::chrono::steady_clock::now() + std::chrono::microseconds(TURN_MICROSECONDS);
    for (int handled = 0;; ++handled) {
        const size_t lf = buffer_.find('\n', scanFrom_);
        if (lf == std::string::npos) {
            scanFrom_ = buffer_.size();
            break;
        }
        if (handled == COMMANDS_PER_TURN || (handled > 0 && std::chrono::steady_clock::now() >= turnEnds) ||
            (onRead && !CommandTable::AnswersOnRead(buffer_, lineStart_, lf))) {
            scanFrom_ = lf;
            pendingInput_ = true;
            break;
        }
        const std::string line = buffer_.substr(lineStart_, lf + 1 - lineStart_);
        lineStart_ = scanFrom_ = lf + 1;
        user_.RunCommand(line, keepOpen);
        if (!keepOpen) return;
        if (user_.Transfer().IsUploading()) {
            HandOverToUpload(keepOpen);
            return;
        }
    }
    buffer_.erase(0, lineStart_);
    scanFrom_ -= lineStart_;
    lineStart_ = 0;
    // A line without its LF is bounded: a small one before login, one that fits any
    // command after. A client past it gets an error and is closed.
    const size_t limit = user_.IsLoggedIn() ? static_cast<size_t>(MAX_LINE) : static_cast<size_t>(MAX_LINE_BEFORE_LOGIN);
    if (!pendingInput_ && buffer_.size() > limit) {
        user_.SendError(ERR_SYNTAX_ERROR);
        std::string().swap(buffer_);
        scanFrom_ = 0;
        keepOpen = false;
        return;
    }
    // A burst leaves no large buffer behind for the connection's life.
    if (buffer_.empty() && buffer_.capacity() > static_cast<size_t>(MAX_LINE)) std::string().swap(buffer_);
}

void CommandReader::HandOverToUpload(bool& keepOpen) {
    const std::string rest = buffer_.substr(lineStart_);
    std::string().swap(buffer_);
    lineStart_ = scanFrom_ = 0;
    if (!rest.empty()) user_.Transfer().Receive(rest.data(), rest.size(), keepOpen);
}

}  // namespace server
}  // namespace quorvane
