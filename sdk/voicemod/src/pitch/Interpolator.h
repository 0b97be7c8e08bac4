// Interpolator.h - the band-limited interpolator the pitch stage's grains
// read through: a 16-tap Kaiser-windowed sinc (cut-off at half the rate),
// tabulated at 256 fractions of a sample, each row followed by its step to
// the next so that a read position's weights are row + a * step.
#pragma once

#include <vector>

namespace vcmd {

constexpr int kInterpolatorTaps = 16;
constexpr int kInterpolatorFractions = 256;

// [control-thread] Fills `kernel` (allocates): kInterpolatorFractions rows
// of 2 * kInterpolatorTaps floats. Row r weighs taps -7..+8 around a read
// position r / kInterpolatorFractions past a whole sample.
void designInterpolator(std::vector<float>& kernel);

}  // namespace vcmd
