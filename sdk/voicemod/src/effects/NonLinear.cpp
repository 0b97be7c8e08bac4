// NonLinear.cpp - the non-linear effects: distortion and the bit crusher.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dsp/Dsp.h"
#include "dsp/Piece.h"
#include "effects/EffectKinds.h"
#include "effects/RampedEffect.h"

namespace vcmd {
namespace {

class DistortionEffect final : public RampedEffect<2> {
public:
    using RampedEffect::RampedEffect;
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving() || first_) {
                drive_ = dbToGain(ramps_[0].next());
                first_ = false;
            }
            const float mix = ramps_[1].next();
            for (int c = 0; c < channels; ++c) {
                const float x = io[c][i];
                io[c][i] = x + (saturate(drive_ * x) - x) * mix;
            }
        }
    }
    void reset() noexcept override {}

private:
    float drive_ = 1.0f;
    bool first_ = true;
};

class BitCrushEffect final : public RampedEffect<4> {
public:
    using RampedEffect::RampedEffect;
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving() || first_) {
                step_ = std::exp2(1.0f - ramps_[0].next());
                first_ = false;
            }
            const float hold = 1.0f / ramps_[1].next();
            const float mix = ramps_[2].next();
            const float relative = ramps_[3].next();
            // Sample-and-hold at 1/downsample of the rate, then a mid-tread
            // quantiser (so silence stays silence), see quantise().
            phase_ += hold;
            const bool take = phase_ >= 1.0f;
            if (take) phase_ -= 1.0f;
            for (int c = 0; c < channels; ++c) {
                const float x = io[c][i];
                if (take) held_[c] = quantise(x, relative);
                io[c][i] = x + (held_[c] - x) * mix;
            }
        }
    }
    void reset() noexcept override {
        phase_ = 1.0f;
        for (float& h : held_) h = 0.0f;
    }

private:
    // The staircase (steps of a fixed size: quiet sound hovering around
    // half a step is gated into bursts of crackle), blended towards a
    // floating-point one: the same number of steps in every octave of
    // level, so quiet sound keeps as fine a grain as loud sound and nothing
    // is gated. Both keep 0 at 0.
    float quantise(float x, float relative) const noexcept {
        const float hard = step_ * std::nearbyint(x / step_);
        if (relative <= 0.0f || x == 0.0f) return hard;
        int exponent = 0;
        const float mantissa = std::frexp(x, &exponent);  // [0.5, 1) in magnitude
        const float soft = std::ldexp(step_ * std::nearbyint(mantissa / step_), exponent);
        return hard + (soft - hard) * relative;
    }
    float step_ = 1.0f / 128.0f;
    float phase_ = 1.0f;
    float held_[kMaxChannels] = {};
    bool first_ = true;
};

}  // namespace

std::unique_ptr<Effect> makeDistortion(const EffectDef& def, double sampleRate) {
    return std::make_unique<DistortionEffect>(def, sampleRate);
}

std::unique_ptr<Effect> makeBitCrush(const EffectDef& def, double sampleRate) {
    return std::make_unique<BitCrushEffect>(def, sampleRate);
}

}  // namespace vcmd
