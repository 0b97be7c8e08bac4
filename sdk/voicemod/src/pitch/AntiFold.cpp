// AntiFold.cpp - the anti-fold prefilter: an elliptic low-pass that follows the
// ratio of an upward shift, so that nothing folds back over half the rate.
#include "pitch/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "pitch/ShifterMath.h"

namespace vcmd {
using namespace shifter;
namespace {

// Group delay at DC of a cascade: sum over the sections of
// (b1 + 2 b2) / (b0 + b1 + b2) - (a1 + 2 a2) / (1 + a1 + a2).
double delayAtDc(const BiquadCoefficients* c, int n) noexcept {
    double d = 0.0;
    for (int i = 0; i < n; ++i) {
        d += (static_cast<double>(c[i].b1) + 2.0 * c[i].b2) /
                 (static_cast<double>(c[i].b0) + c[i].b1 + c[i].b2) -
             (static_cast<double>(c[i].a1) + 2.0 * c[i].a2) / (1.0 + c[i].a1 + c[i].a2);
    }
    return d;
}

}  // namespace

void PitchShifter::designPrefilter() noexcept {
    // Stop band from rate / (2 ratio), but never closer to half the rate
    // than 3 %: just above 0 semitones the little that folds lies at the
    // very top of the band.
    const double stopHz = std::min(0.47, 0.5 / std::max(1.0, static_cast<double>(ratio_))) * sampleRate_;
    const double passHz =
        std::atan(std::tan(kPi * stopHz / sampleRate_) / prefilterDesign_.stopRatio()) * sampleRate_ / kPi;
    prefilterDesign_.lowpass(sampleRate_, passHz, prefilter_);
    prefilterLag_ = delayAtDc(prefilter_, kPrefilterSections);
}

}  // namespace vcmd
