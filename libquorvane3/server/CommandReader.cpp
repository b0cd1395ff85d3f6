#include "server/CommandReader.h"

#include <algorithm>
#include <chrono>

#include "protocol/ErrorCodes.h"
#include "server/CommandRate.h"
#include "server/CommandRunner.h"
#include "server/ServerUser.h"

namespace quorvane {
namespace server {

namespace {

int64_t SteadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CommandReader::Clock clock = &SteadyMicroseconds;

int64_t NowMicroseconds() { return clock(); }

}  // namespace

void CommandReader::SetClock(Clock replacement) { clock = replacement ? replacement : &SteadyMicroseconds; }

size_t CommandReader::LineLimit() const {
    return user_.IsLoggedIn() ? static_cast<size_t>(MAX_LINE) : static_cast<size_t>(MAX_LINE_BEFORE_LOGIN);
}

void CommandReader::RefuseLongLine(bool& keepOpen) {
    user_.SendError(ERR_SYNTAX_ERROR);
    std::string().swap(buffer_);
    lineStart_ = scanFrom_ = 0;
    pendingInput_ = false;
    keepOpen = false;
}

void CommandReader::Refill(int rate, int burst) {
    const int64_t now = NowMicroseconds();
    if (!filled_) tokens_ = burst;
    filled_ = true;
    tokens_ = std::min<double>(burst, tokens_ + static_cast<double>(now - refilledUs_) * rate / 1e6);
    refilledUs_ = now;
}

double CommandReader::Cost(bool cheap, size_t end) const {
    return std::max(cheap ? CHEAP_COST : 1.0, static_cast<double>(end - lineStart_) / LINE_BYTES_PER_TOKEN);
}

bool CommandReader::TakeToken(double cost) {
    const int rate = rate_.PerSecond();
    if (rate <= 0) return true;
    const int burst = std::max(1, rate_.Burst());
    Refill(rate, burst);
    cost = std::min<double>(cost, burst);  // a line that costs more than the burst still runs once it is full
    throttled_ = tokens_ < cost;
    if (throttled_) {
        wanted_ = cost;
        return false;
    }
    tokens_ -= cost;
    return true;
}

void CommandReader::ChargeFanOut(size_t bytes) {
    user_.AssertLoopThread();
    const int rate = rate_.PerSecond();
    if (rate <= 0 || bytes == 0) return;
    Refill(rate, std::max(1, rate_.Burst()));
    tokens_ -= static_cast<double>(bytes) / FANOUT_BYTES_PER_TOKEN;
}

int64_t CommandReader::ThrottleDelayMicroseconds() const {
    const int rate = rate_.PerSecond();
    if (!throttled_ || rate <= 0) return 0;
    const double missing = wanted_ - tokens_ - static_cast<double>(NowMicroseconds() - refilledUs_) * rate / 1e6;
    return missing <= 0 ? 0 : static_cast<int64_t>(missing * 1e6 / rate) + 1;
}

void CommandReader::OnData(const char* data, size_t length, bool& keepOpen) {
    buffer_.append(data, length);
    ProcessLines(keepOpen, true);
}

void CommandReader::OnTurn(bool& keepOpen) { ProcessLines(keepOpen, false); }

void CommandReader::ProcessLines(bool& keepOpen, bool onRead) {
    user_.AssertLoopThread();
    pendingInput_ = false;
    const int64_t turnEnds = NowMicroseconds() + TURN_MICROSECONDS;
    for (int handled = 0;; ++handled) {
        if (held_) {
            pendingInput_ = true;  // a turn once released, whatever the buffer holds
            break;
        }
        const size_t lf = buffer_.find('\n', scanFrom_);
        if (lf == std::string::npos) {
            scanFrom_ = buffer_.size();
            break;
        }
        if (lf + 1 - lineStart_ > LineLimit()) {
            RefuseLongLine(keepOpen);
            return;
        }
        const bool cheap = commands_.AnswersOnRead(buffer_, lineStart_, lf);
        if (handled == COMMANDS_PER_TURN || (handled > 0 && NowMicroseconds() >= turnEnds) || (onRead && !cheap) ||
            !TakeToken(Cost(cheap, lf + 1))) {
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
    // A line without its LF is bounded too: a small one before login, one that fits any
    // command after.
    if (!pendingInput_ && buffer_.size() > LineLimit()) {
        RefuseLongLine(keepOpen);
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
