// Interpolator.cpp - the table of the band-limited interpolator the grains
// read through: a 16-tap Kaiser-windowed sinc at kFractions fractions of a
// sample.
#include "pitch/Interpolator.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "dsp/Dsp.h"
#include "pitch/PitchShifter.h"

namespace vcmd {

void PitchShifter::designInterpolator() {
    static_assert(kTaps == kInterpolatorTaps && kFractions == kInterpolatorFractions, "one interpolator");
    vcmd::designInterpolator(kernel_);
}

void designInterpolator(std::vector<float>& kernel) {
    constexpr int kTaps = kInterpolatorTaps, kFractions = kInterpolatorFractions;
    // The interpolator: row r holds the weights of taps -7..+8 around a read
    // position r / kFractions of a sample past a whole one. Each row sums to
    // 1, so that the gain does not wobble with the fraction; the rows for a
    // whole sample are exact unit impulses.
    constexpr int half = kTaps / 2;
    const double beta = 7.0;
    std::vector<float> rows(static_cast<std::size_t>((kFractions + 1) * kTaps), 0.0f);
    for (int r = 0; r <= kFractions; ++r) {
        float* row = rows.data() + static_cast<std::size_t>(r * kTaps);
        if (r == 0 || r == kFractions) {
            row[r == 0 ? half - 1 : half] = 1.0f;
            continue;
        }
        const double t = static_cast<double>(r) / kFractions;
        double w[kTaps], sum = 0.0;
        for (int j = 0; j < kTaps; ++j) {
            const double d = j - (half - 1) - t;
            const double u = d / half;
            const double window = std::fabs(u) < 1.0 ? besselI0(beta * std::sqrt(1.0 - u * u)) / besselI0(beta) : 0.0;
            w[j] = std::sin(kPi * d) / (kPi * d) * window;
            sum += w[j];
        }
        for (int j = 0; j < kTaps; ++j) row[j] = static_cast<float>(w[j] / sum);
    }
    // Stored as each row followed by its step to the next, so that a read
    // position's weights (row + a * step) come from one place.
    kernel.assign(static_cast<std::size_t>(kFractions * 2 * kTaps), 0.0f);
    for (int r = 0; r < kFractions; ++r) {
        const float* row = rows.data() + static_cast<std::size_t>(r * kTaps);
        float* out = kernel.data() + static_cast<std::size_t>(r * 2 * kTaps);
        for (int j = 0; j < kTaps; ++j) {
            out[j] = row[j];
            out[kTaps + j] = row[kTaps + j] - row[j];
        }
    }
}

}  // namespace vcmd
