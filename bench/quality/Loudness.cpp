// Loudness.cpp - see Loudness.h. All loudness and true-peak arithmetic is
// libebur128's; this file only feeds it and converts units.
#include "Loudness.h"

#include <ebur128.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace quality {

double toDb(double amplitude) {
    return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

Level measureLevel(const std::vector<float>& samples, double rate) {
    ebur128_state* st = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (st == nullptr) throw std::runtime_error("ebur128_init failed");
    Level level;
    double tp = 0.0;
    const bool ok = ebur128_add_frames_float(st, samples.data(), samples.size()) == EBUR128_SUCCESS &&
                    ebur128_loudness_global(st, &level.loudness) == EBUR128_SUCCESS &&
                    ebur128_true_peak(st, 0, &tp) == EBUR128_SUCCESS;
    ebur128_destroy(&st);
    if (!ok) throw std::runtime_error("libebur128 failed");
    level.truePeak = toDb(tp);
    double peak = 0.0;
    for (float x : samples) {
        const double a = std::fabs(static_cast<double>(x));
        peak = std::max(peak, a);
        if (a > 1.0) ++level.overs;
    }
    level.samplePeak = toDb(peak);
    return level;
}

}  // namespace quality
