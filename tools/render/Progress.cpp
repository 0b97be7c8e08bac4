#include "render/Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvane::tool {

Progress::Progress(std::ostream& out, bool enabled, std::string label, Clock::duration delay)
    : out_(out), enabled_(enabled), label_(std::move(label)), start_(Clock::now()), delay_(delay) {}

Progress::~Progress() { finish(); }

std::string Progress::bar(double fraction, int width) {
    fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    const int filled = static_cast<int>(std::floor(fraction * width + 1e-9));
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "]";
}

void Progress::update(std::uint64_t done, std::uint64_t total) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < delay_) return;
    if (shown_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    shown_ = true;
    out_ << '\r' << label_ << ' ';
    if (total > 0) {
        const double fraction = static_cast<double>(done) / static_cast<double>(total);
        char percent[8];
        std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(std::min(1.0, fraction) * 100.0));
        out_ << bar(fraction, 30) << ' ' << percent;
    } else {
        out_ << done;
    }
    out_ << std::flush;
}

void Progress::finish() {
    if (!shown_) return;
    // Back to the start of the line and clear it.
    out_ << "\r\033[K" << std::flush;
    shown_ = false;
}

}  // namespace corvane::tool
