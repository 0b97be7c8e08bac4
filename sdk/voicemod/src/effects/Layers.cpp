// Layers.cpp - the background layers: noise, mains hum and a sustained tone,
// each a generator of one channel of sound that the chain mixes in.
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

class NoiseLayer final : public RampedGenerator<1> {
public:
    NoiseLayer(const EffectDef& def, double sampleRate, std::uint64_t seed)
        : RampedEffect(def, sampleRate), type_(def.type), seed_(seed) {
        reset();
    }
    void generate(float* mix, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving() || first_) {
                level_ = dbToGain(ramps_[0].next());
                first_ = false;
            }
            const float w = noise_.next();
            float v = w;
            if (type_ == EffectType::PinkNoise) {
                // Paul Kellet's economy filter: -3 dB per octave.
                b_[0] = 0.99765f * b_[0] + w * 0.0990460f;
                b_[1] = 0.96300f * b_[1] + w * 0.2965164f;
                b_[2] = 0.57000f * b_[2] + w * 1.0526913f;
                v = (b_[0] + b_[1] + b_[2] + w * 0.1848f) * 0.25f;
            } else if (type_ == EffectType::BrownNoise) {
                // Leaky integration: -6 dB per octave.
                b_[0] = 0.995f * b_[0] + 0.1f * w;
                v = b_[0] * 0.7f;
            }
            v *= level_;
            mix[i] += v;
        }
    }
    void reset() noexcept override {
        noise_.seed(seed_);
        b_[0] = b_[1] = b_[2] = 0.0f;
    }

private:
    EffectType type_;
    std::uint64_t seed_;
    Noise noise_;
    float b_[3] = {};
    float level_ = 0.0f;
    bool first_ = true;
};

// Mains hum: the fundamental with its second and third harmonic, the last
// two made from the fundamental's phasor (cos 2t, cos 3t).
class HumLayer final : public RampedGenerator<2> {
public:
    HumLayer(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate), rate_(sampleRate) {
        osc_.setFrequency(ramps_[0].value(), rate_);
    }
    void generate(float* mix, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving()) osc_.setFrequency(ramps_[0].next(), rate_);
            if (ramps_[1].moving() || first_) {
                level_ = dbToGain(ramps_[1].next());
                first_ = false;
            }
            const float s = osc_.next();
            const float c = osc_.cosine();
            const float c2 = 2.0f * c * c - 1.0f;
            const float c3 = c * (4.0f * c * c - 3.0f);
            const float v = level_ * (0.6f * s + 0.3f * c2 + 0.1f * c3);
            mix[i] += v;
        }
    }
    void reset() noexcept override { osc_.reset(); }

private:
    double rate_;
    Oscillator osc_;
    float level_ = 0.0f;
    bool first_ = true;
};

// A sustained tone for a bed of sound, with an optional slow vibrato. The
// vibrato (at most 10 Hz) is worked out every 16 samples, counted from
// reset, and its step held in between: the oscillator's recursion per
// sample would cost more than the tone itself.
class ToneLayer final : public RampedGenerator<3> {
public:
    ToneLayer(const EffectDef& def, double sampleRate)
        : RampedEffect(def, sampleRate), rate_(sampleRate), period_(1.0 / sampleRate) {
        wobble_.setFrequency(kWobbleStep * ramps_[1].value(), rate_);
    }
    void generate(float* mix, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            const bool gliding = ramps_[0].moving();
            const float f = ramps_[0].next();
            if (ramps_[1].moving()) {
                ramps_[1].next();
                if (untilWobble_ == 0) wobble_.setFrequency(kWobbleStep * ramps_[1].value(), rate_);
            }
            if (ramps_[2].moving() || first_) {
                level_ = dbToGain(ramps_[2].next());
                first_ = false;
            }
            if (untilWobble_ == 0) {
                untilWobble_ = kWobbleStep;
                vibrato_ = 1.0 + 0.01 * wobble_.next();
                step_ = f * vibrato_ * period_;
            } else if (gliding) {
                step_ = f * vibrato_ * period_;
            }
            --untilWobble_;
            phase_ += step_;
            // The step is at most 1.01 (8 kHz at 8 kHz): one or two turns.
            while (phase_ >= 1.0) phase_ -= 1.0;
            const float v = level_ * sineOfTurns(static_cast<float>(phase_));
            mix[i] += v;
        }
    }
    void reset() noexcept override {
        phase_ = 0.0;
        untilWobble_ = 0;
        wobble_.reset();
    }

private:
    static constexpr int kWobbleStep = 16;
    double rate_;
    double period_;
    Oscillator wobble_;
    double phase_ = 0.0;
    double vibrato_ = 1.0;
    double step_ = 0.0;
    int untilWobble_ = 0;
    float level_ = 0.0f;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<Generator> makeNoiseLayer(const EffectDef& def, double sampleRate, std::uint64_t seed) {
    return std::make_unique<NoiseLayer>(def, sampleRate, seed);
}

std::unique_ptr<Generator> makeHumLayer(const EffectDef& def, double sampleRate) {
    return std::make_unique<HumLayer>(def, sampleRate);
}

std::unique_ptr<Generator> makeToneLayer(const EffectDef& def, double sampleRate) {
    return std::make_unique<ToneLayer>(def, sampleRate);
}

}  // namespace vcmd
