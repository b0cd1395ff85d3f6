#include "ProgressBar.h"

#include <cmath>

#include "Output.h"

namespace quorvane {
namespace cli {

namespace {

const int BAR_WIDTH = 24;

std::string Duration(double seconds) {
    const long total = seconds > 0 ? std::lround(seconds) : 0;
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, bool enabled, const std::string& label, int64_t total)
    : out_(out), enabled_(enabled), label_(label), total_(total), start_(std::chrono::steady_clock::now()) {}

std::string ProgressBar::Format(const std::string& label, int64_t done, int64_t total, double seconds) {
    const double fraction = total > 0 && done < total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    const int filled = static_cast<int>(fraction * BAR_WIDTH);
    std::string bar = label + " [" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(fraction * 100));
    bar += std::string(percent) + "  " + HumanBytes(static_cast<double>(done)) + " of " +
           HumanBytes(static_cast<double>(total));
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    if (rate > 0) {
        bar += "  " + HumanBytes(rate) + "/s  " + Duration(static_cast<double>(total - done) / rate) + " left";
    } else {
        bar += "  --  --:-- left";
    }
    return bar;
}

void ProgressBar::Update(int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    // The last state is always drawn; the ones before it at most ten times a second.
    if (drawn_ && done != total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(out_, "\r\033[K%s", Format(label_, done, total_, seconds).c_str());
    std::fflush(out_);
    drawn_ = true;
}

void ProgressBar::Finish() {
    if (!drawn_) return;
    std::fprintf(out_, "\r\033[K");
    std::fflush(out_);
    drawn_ = false;
}

}  // namespace cli
}  // namespace quorvane
