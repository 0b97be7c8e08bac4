// HarmonicFit.h - fundamental frequency and signal-to-residual ratio of a
// steady harmonic tone, by least squares.
//
// The model is a DC term plus the first `harmonics` harmonics of F0 (those
// below 45 % of the rate), each with a free amplitude and phase. F0 is the value whose least-squares
// fit explains most of the stretch's energy (a grid of 1-cent steps
// around the expected F0, then golden-section refinement); the ratio is the
// energy the fit explains over the energy it leaves, in dB. A perfect
// shifter gives a pure harmonic tone: no residual at all.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

struct HarmonicFit {
    double f0 = 0.0;
    double srrDb = 0.0;
};

// Fits `size` samples from `begin`; searches F0 within +-`rangeCents` of
// `expectedF0`.
HarmonicFit fitHarmonics(const std::vector<float>& signal, std::size_t begin, std::size_t size, double rate,
                         double expectedF0, int harmonics, double rangeCents = 30.0);

double cents(double ratio);

}  // namespace quality
