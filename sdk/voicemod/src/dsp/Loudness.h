// Loudness.h - the meter of loudness matching: the K-weighting loudness
// meters apply (a 38 Hz high-pass and a +4 dB shelf above about 1.7 kHz),
// and the long-term comparison of two weighted signals that gives the gain
// bringing the second to the first.
#pragma once

#include <algorithm>
#include <cmath>

#include "dsp/Dsp.h"

namespace vcmd {

// [control-thread] The K-weighting filters for `sampleRate`. Allocates nothing.
struct KWeighting {
    BiquadCoefficients highpass, shelf;

    static KWeighting design(double sampleRate) noexcept {
        KWeighting k;
        k.highpass = designBiquad(FilterKind::HighPass, sampleRate, 38.0, 0.5, 0.0);
        // High shelf, +4 dB, from the audio-EQ cookbook.
        const double A = std::pow(10.0, 4.0 / 40.0), w = 2.0 * kPi * std::min(1681.97, 0.45 * sampleRate) / sampleRate;
        const double cw = std::cos(w), alpha = std::sin(w) / (2.0 * 0.7071), r = 2.0 * std::sqrt(A) * alpha;
        const double b0 = A * ((A + 1) + (A - 1) * cw + r), b1 = -2 * A * ((A - 1) + (A + 1) * cw),
                     b2 = A * ((A + 1) + (A - 1) * cw - r), a0 = (A + 1) - (A - 1) * cw + r,
                     a1 = 2 * ((A - 1) - (A + 1) * cw), a2 = (A + 1) - (A - 1) * cw - r;
        k.shelf = {static_cast<float>(b0 / a0), static_cast<float>(b1 / a0), static_cast<float>(b2 / a0),
                   static_cast<float>(a1 / a0), static_cast<float>(a2 / a0)};
        return k;
    }
};

// The long-term loudness of a reference (the input) and of a signal (the
// output), from the mean squares of their weighted blocks: blocks whose
// reference is below -70 dBFS (pauses) are left out; the others join running
// averages, a plain mean for the first 3 s of sound, then exponential over
// 3 s. Slow by design: it follows how loud a voice is overall, not the
// dynamics of speech.
class LoudnessComparison {
public:
    // [control-thread] Blocks of `blockSeconds`. Never blocks or allocates.
    void configure(double blockSeconds) noexcept { blockSeconds_ = blockSeconds; }
    // [audio-thread] Forgets what was heard.
    void reset() noexcept {
        meanReference_ = meanSignal_ = 0.0;
        heardSeconds_ = 0.0;
    }
    // [audio-thread] Takes one block's mean squares and returns the gain that
    // brings the signal's loudness to the reference's, within +-rangeDb; in a
    // pause, or before anything was heard, `current`. Never blocks or
    // allocates.
    float update(double reference, double signal, float rangeDb, float current) noexcept {
        if (!(reference > 1e-7)) return current;  // -70 dBFS
        heardSeconds_ += blockSeconds_;
        const double a = std::max(blockSeconds_ / 3.0, blockSeconds_ / heardSeconds_);
        meanReference_ += (reference - meanReference_) * a;
        meanSignal_ += (signal - meanSignal_) * a;
        if (!(meanSignal_ > 1e-20)) return current;
        const double limit = std::pow(10.0, rangeDb / 20.0);
        return static_cast<float>(std::min(limit, std::max(1.0 / limit, std::sqrt(meanReference_ / meanSignal_))));
    }

private:
    double blockSeconds_ = 0.0;
    double meanReference_ = 0.0, meanSignal_ = 0.0;
    double heardSeconds_ = 0.0;
};

}  // namespace vcmd
