// A one-line progress bar for file transfers: bytes, rate and time left, redrawn in
// place on a terminal at most ten times a second. Disabled, it prints nothing.
#ifndef QUORVANE_CLI_PROGRESSBAR_H
#define QUORVANE_CLI_PROGRESSBAR_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quorvane {
namespace cli {

class ProgressBar {
public:
    ProgressBar(std::FILE* out, bool enabled, const std::string& label, int64_t total);
    ~ProgressBar() { Finish(); }

    // The size, when it is known only once the transfer has started.
    void SetTotal(int64_t total) { total_ = total; }
    void Update(int64_t done);
    // Clears the bar's line.
    void Finish();

    // The bar's text for done of total bytes after seconds.
    static std::string Format(const std::string& label, int64_t done, int64_t total, double seconds);

private:
    std::FILE* out_;
    bool enabled_;
    bool drawn_ = false;
    std::string label_;
    int64_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace cli
}  // namespace quorvane

#endif
