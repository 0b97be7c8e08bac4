// HalfBand.cpp - the half-band filter's taps and its two uses.
#include "pitch/HalfBand.h"

#include <cmath>
#include <cstring>

#include "dsp/Dsp.h"

namespace vcmd {
namespace {

// Kaiser window shape: 6.8 gives a stop band about 70 dB down at 47 taps,
// with the pass band still flat to 0.40 of the low rate. (At 31 taps and
// 5, 54 dB, the interpolator left the image of a moved tone's correction
// 52 to 58 dB under it: a 16 kHz sine an octave down through a formant
// voice came out with a 16 kHz copy of its 8 kHz tone.)
constexpr double kBeta = 6.8;

}  // namespace

void HalfBand::design() noexcept {
    double taps[kPairs];
    double total = 0.0;
    for (int j = 0; j < kPairs; ++j) {
        const double d = 2 * j + 1;  // distance from the centre
        const double sinc = std::sin(kPi * d / 2.0) / (kPi * d / 2.0);
        const double w = d / kDelay;
        taps[j] = 0.5 * sinc * besselI0(kBeta * std::sqrt(1.0 - w * w)) / besselI0(kBeta);
        total += 2.0 * taps[j];
    }
    // Exactly unity at 0 Hz: the side taps make up the other half.
    for (int j = 0; j < kPairs; ++j) side[j] = static_cast<float>(taps[j] * 0.5 / total);
}

void HalfBandDecimator::configure(const HalfBand& taps) noexcept {
    taps_ = taps;
    reset();
}

void HalfBandDecimator::reset() noexcept {
    std::memset(buffer_, 0, sizeof buffer_);
    odd_ = false;
}

int HalfBandDecimator::process(const float* in, int frames, float* low, float* delayed) noexcept {
    float* x = buffer_ + kKeep;  // x[i]: frame i of the block; x[-k]: k frames before it
    std::memcpy(x, in, sizeof(float) * static_cast<std::size_t>(frames));
    // Frames first, second, ... of a pair start at `first`; each low-rate
    // sample is centred kDelay frames before its frame.
    const int first = odd_ ? 1 : 0;
    const int count = frames > first ? (frames - first + 1) / 2 : 0;
    const float* centre = x + first - HalfBand::kDelay;
    if (low != nullptr) {
        for (int m = 0; m < count; ++m) low[m] = 0.5f * centre[2 * m];
        for (int j = 0; j < HalfBand::kPairs; ++j) {
            const float w = taps_.side[j];
            const int d = 2 * j + 1;
            for (int m = 0; m < count; ++m) low[m] += w * (centre[2 * m - d] + centre[2 * m + d]);
        }
    }
    if (delayed != nullptr)
        std::memmove(delayed, x - HalfBand::kLatency, sizeof(float) * static_cast<std::size_t>(frames));
    std::memmove(buffer_, buffer_ + frames, sizeof(float) * kKeep);
    if (frames % 2 != 0) odd_ = !odd_;
    return count;
}

void HalfBandInterpolator::configure(const HalfBand& taps) noexcept {
    // Zeros between the low-rate samples, filtered, at twice the gain: with
    // P = kPairs, the first output of each pair takes the side taps
    // (d[m - P - k] and d[m - P + 1 + k] weigh side[k]), the second only the
    // centre (d[m - P + 1]).
    for (int k = 0; k < HalfBand::kPairs; ++k) {
        taps_[HalfBand::kPairs - 1 - k] = 2.0f * taps.side[k];  // d[m - P - k], oldest first
        taps_[HalfBand::kPairs + k] = 2.0f * taps.side[k];      // d[m - P + 1 + k]
    }
    reset();
}

void HalfBandInterpolator::reset() noexcept { std::memset(buffer_, 0, sizeof buffer_); }

void HalfBandInterpolator::process(const float* low, int count, float* first, float* second) noexcept {
    float* d = buffer_ + kKeep;  // d[m]: sample m of the block; d[-k]: k before it
    std::memcpy(d, low, sizeof(float) * static_cast<std::size_t>(count));
    for (int m = 0; m < count; ++m) {
        first[m] = 0.0f;
        second[m] = d[m - (HalfBand::kPairs - 1)];
    }
    for (int t = 0; t < 2 * HalfBand::kPairs; ++t) {
        const float w = taps_[t];
        const float* from = d - kKeep + t;  // tap t weighs d[m - kKeep + t]
        for (int m = 0; m < count; ++m) first[m] += w * from[m];
    }
    std::memmove(buffer_, buffer_ + count, sizeof(float) * kKeep);
}

}  // namespace vcmd
