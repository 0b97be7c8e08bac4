// RampedEffect.h - what the effect and generator classes share: a base for
// those whose settings are plain ramps, and a fast sine of a phase in turns.
#pragma once

#include "dsp/Dsp.h"
#include "effects/Effect.h"
#include "effects/Generator.h"
#include "voice/VoiceModel.h"

namespace vcmd {

// sin(2 pi p) for p in [-0.5, 1), within 4e-6: folded onto [-pi/2, pi/2] and
// a Taylor polynomial to the ninth power there (a library sine per sample
// would cost more than a whole reverb).
inline float sineOfTurns(float p) noexcept {
    float x = p < 0.5f ? p : p - 1.0f;  // [-0.5, 0.5)
    if (x > 0.25f) x = 0.5f - x;
    else if (x < -0.25f) x = -0.5f - x;
    const float y = static_cast<float>(2.0 * kPi) * x;
    const float y2 = y * y;
    return y * (1.0f + y2 * (-1.0f / 6.0f + y2 * (1.0f / 120.0f + y2 * (-1.0f / 5040.0f + y2 * (1.0f / 362880.0f)))));
}

// Base for effects (or, with Interface = Generator, background layers) whose
// settings are plain ramps.
template <int N, class Interface = Effect>
class RampedEffect : public Interface {
public:
    RampedEffect(const EffectDef& def, double sampleRate) {
        for (int i = 0; i < N; ++i) {
            ramps_[i].configure(sampleRate);
            ramps_[i].jump(def.settings[i]);
        }
    }
    void setTarget(int index, float value) noexcept override {
        if (index >= 0 && index < N) ramps_[index].setTarget(value);
    }

protected:
    Ramp ramps_[N];
};

template <int N>
using RampedGenerator = RampedEffect<N, Generator>;

}  // namespace vcmd
