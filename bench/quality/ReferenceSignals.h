// ReferenceSignals.h - the signals the speech measures are checked on:
// reproducible white noise of a chosen level, and a signal's RMS level (to
// set noise a given number of dB above speech).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quality {

// `n` samples of uniform white noise with RMS `rms`; the same `seed` gives
// the same noise on every machine (a linear congruential generator).
std::vector<float> whiteNoise(std::size_t n, double rms, std::uint32_t seed);

// Root mean square of `s` (0 for an empty signal).
double rmsOf(const std::vector<float>& s);

}  // namespace quality
