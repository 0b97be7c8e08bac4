// Progress.h - a one-line progress bar on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace corvane::tool {

// Draws "label [#####.....]  42%" over itself with carriage returns, but
// only for work that has already taken `delay` (so quick renders print
// nothing) and at most every 100 ms. Disabled, it never writes.
class Progress {
public:
    using Clock = std::chrono::steady_clock;

    Progress(std::ostream& out, bool enabled, std::string label,
             Clock::duration delay = std::chrono::milliseconds(1500));
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of `total` units; a total of 0 shows no percentage.
    void update(std::uint64_t done, std::uint64_t total);
    // Clears the bar, if one was drawn.
    void finish();

    bool shown() const noexcept { return shown_; }

    // The bar's text for a fraction in [0, 1], `width` cells wide.
    static std::string bar(double fraction, int width);

private:
    std::ostream& out_;
    bool enabled_;
    std::string label_;
    Clock::time_point start_;
    Clock::time_point lastDrawn_{};
    Clock::duration delay_;
    bool shown_ = false;
};

}  // namespace corvane::tool
