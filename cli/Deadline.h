// A point in time a bounded wait must not pass.
#ifndef QUORVANE_CLI_DEADLINE_H
#define QUORVANE_CLI_DEADLINE_H

#include <chrono>

namespace quorvane {
namespace cli {

class Deadline {
public:
    explicit Deadline(int timeoutMs) : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}

    // Milliseconds left, 0 once passed: ready to hand to poll().
    int RemainingMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    bool Passed() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

}  // namespace cli
}  // namespace quorvane

#endif
