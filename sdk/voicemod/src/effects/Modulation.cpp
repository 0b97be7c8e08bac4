// Modulation.cpp - the modulation effects: ring modulation, noise modulation, whisper and tremolo.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dsp/Dsp.h"
#include "dsp/Piece.h"
#include "dsp/Whisperer.h"
#include "effects/EffectKinds.h"
#include "effects/RampedEffect.h"

namespace vcmd {
namespace {

class RingModEffect final : public RampedEffect<2> {
public:
    RingModEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate), rate_(sampleRate) {
        osc_.setFrequency(ramps_[0].value(), rate_);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving()) osc_.setFrequency(ramps_[0].next(), rate_);
            const float mix = ramps_[1].next();
            const float carrier = osc_.next();
            const float g = (1.0f - mix) + mix * carrier;
            for (int c = 0; c < channels; ++c) io[c][i] *= g;
        }
    }
    void reset() noexcept override { osc_.reset(); }

private:
    double rate_;
    Oscillator osc_;
};

class NoiseModEffect final : public RampedEffect<1> {
public:
    NoiseModEffect(const EffectDef& def, double sampleRate, std::uint64_t seed)
        : RampedEffect(def, sampleRate), seed_(seed) {
        noise_.seed(seed_);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        // Uniform noise scaled to unit power: the voice keeps its loudness
        // but loses its pitch.
        for (int i = 0; i < frames; ++i) {
            const float mix = ramps_[0].next();
            const float g = (1.0f - mix) + mix * 1.7320508f * noise_.next();
            for (int c = 0; c < channels; ++c) io[c][i] *= g;
        }
    }
    void reset() noexcept override { noise_.seed(seed_); }

private:
    std::uint64_t seed_;
    Noise noise_;
};

// The voice's whisper (Whisperer.h) mixed with the voice itself, delayed
// by as much as the whisper so that the two line up.
class WhisperEffect final : public RampedEffect<1> {
public:
    WhisperEffect(const EffectDef& def, double sampleRate, std::uint64_t seed) : RampedEffect(def, sampleRate) {
        whisperer_.configure(sampleRate, seed);
        for (auto& line : dry_) line.configure(whisperer_.latencyFrames() + 2);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        const std::size_t delay = whisperer_.latencyFrames();
        float dry[kMaxChannels][kPieceFrames];
        for (int c = 0; c < channels; ++c) {
            for (int i = 0; i < frames; ++i) {
                dry_[c].push(io[c][i]);
                dry[c][i] = dry_[c].readWhole(delay + 1);
            }
        }
        whisperer_.process(io, channels, frames);
        for (int i = 0; i < frames; ++i) {
            const float mix = ramps_[0].next();
            for (int c = 0; c < channels; ++c) io[c][i] = dry[c][i] + (io[c][i] - dry[c][i]) * mix;
        }
    }
    void reset() noexcept override {
        whisperer_.reset();
        for (auto& line : dry_) line.clear();
    }
    unsigned latencyFrames() const noexcept override { return whisperer_.latencyFrames(); }

private:
    Whisperer whisperer_;
    DelayLine dry_[kMaxChannels];
};

class TremoloEffect final : public RampedEffect<2> {
public:
    TremoloEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate), rate_(sampleRate) {
        osc_.setFrequency(ramps_[0].value(), rate_);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving()) osc_.setFrequency(ramps_[0].next(), rate_);
            const float depth = ramps_[1].next();
            const float g = 1.0f - depth * (0.5f + 0.5f * osc_.next());
            for (int c = 0; c < channels; ++c) io[c][i] *= g;
        }
    }
    void reset() noexcept override { osc_.reset(); }

private:
    double rate_;
    Oscillator osc_;
};

}  // namespace

std::unique_ptr<Effect> makeRingMod(const EffectDef& def, double sampleRate) {
    return std::make_unique<RingModEffect>(def, sampleRate);
}

std::unique_ptr<Effect> makeNoiseMod(const EffectDef& def, double sampleRate, std::uint64_t seed) {
    return std::make_unique<NoiseModEffect>(def, sampleRate, seed);
}

std::unique_ptr<Effect> makeWhisper(const EffectDef& def, double sampleRate, std::uint64_t seed) {
    return std::make_unique<WhisperEffect>(def, sampleRate, seed);
}

std::unique_ptr<Effect> makeTremolo(const EffectDef& def, double sampleRate) {
    return std::make_unique<TremoloEffect>(def, sampleRate);
}

}  // namespace vcmd
