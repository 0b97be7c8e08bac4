// Delays.cpp - the effects built on delay lines: echo, chorus and the reverb.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dsp/Dsp.h"
#include "dsp/Piece.h"
#include "dsp/Reverb.h"
#include "effects/EffectKinds.h"
#include "effects/RampedEffect.h"

namespace vcmd {
namespace {

class EchoEffect final : public RampedEffect<3> {
public:
    EchoEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate), msToSamples_(sampleRate / 1000.0) {
        for (auto& line : lines_) line.configure(static_cast<std::size_t>(kMaxEchoMs * msToSamples_) + 8);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            const float delay = static_cast<float>(ramps_[0].next() * msToSamples_);
            const float feedback = ramps_[1].next();
            const float mix = ramps_[2].next();
            for (int c = 0; c < channels; ++c) {
                const float x = io[c][i];
                const float echo = lines_[c].read(delay);
                lines_[c].push(x + feedback * echo);
                io[c][i] = x + mix * echo;
            }
        }
    }
    void reset() noexcept override {
        for (auto& line : lines_) line.clear();
    }

private:
    double msToSamples_;
    DelayLine lines_[kMaxChannels];
};

class ChorusEffect final : public RampedEffect<5> {
public:
    ChorusEffect(const EffectDef& def, double sampleRate)
        : RampedEffect(def, sampleRate), rate_(sampleRate), msToSamples_(sampleRate / 1000.0) {
        for (auto& line : lines_)
            line.configure(static_cast<std::size_t>((kMaxChorusDelayMs + kMaxChorusDepthMs) * msToSamples_) + 8);
        osc_.setFrequency(ramps_[2].value(), rate_);
        reset();
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            const float base = ramps_[0].next();
            const float depth = ramps_[1].next();
            if (ramps_[2].moving()) osc_.setFrequency(ramps_[2].next(), rate_);
            const float feedback = ramps_[3].next();
            const float mix = ramps_[4].next();
            const float s = osc_.next();
            // The right channel's sweep runs a quarter turn behind the left's.
            const float lfo[kMaxChannels] = {s, osc_.cosine()};
            for (int c = 0; c < channels; ++c) {
                const float x = io[c][i];
                const float delay = static_cast<float>((base + depth * (0.5f + 0.5f * lfo[c])) * msToSamples_);
                const float wet = lines_[c].read(delay);
                lines_[c].push(x + feedback * wet);
                io[c][i] = x + (wet - x) * mix;
            }
        }
    }
    void reset() noexcept override {
        for (auto& line : lines_) line.clear();
        osc_.reset();
    }

private:
    double rate_;
    double msToSamples_;
    Oscillator osc_;
    DelayLine lines_[kMaxChannels];
};

// The room of Reverb.h, fed with the channels' mono mix; its two outputs
// go to left and right.
class ReverbEffect final : public RampedEffect<3> {
public:
    ReverbEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate) {
        reverb_.configure(sampleRate);
        reverb_.setDecay(ramps_[0].value(), ramps_[1].value());
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving() || ramps_[1].moving()) {
                ramps_[0].next();
                ramps_[1].next();
                // A new decay every 16 samples of a glide, counted from the
                // glide's start.
                if ((++glide_ & 15) == 0 || !(ramps_[0].moving() || ramps_[1].moving()))
                    reverb_.setDecay(ramps_[0].value(), ramps_[1].value());
            } else {
                glide_ = 0;
            }
            const float mix = ramps_[2].next();
            const float x0 = io[0][i];
            const float x1 = channels > 1 ? io[1][i] : x0;
            float left = 0.0f, right = 0.0f;
            reverb_.process(channels > 1 ? 0.5f * (x0 + x1) : x0, left, right);
            io[0][i] = x0 + (left - x0) * mix;
            if (channels > 1) io[1][i] = x1 + (right - x1) * mix;
        }
    }
    void reset() noexcept override { reverb_.reset(); }

private:
    Reverb reverb_;
    unsigned glide_ = 0;
};

}  // namespace

std::unique_ptr<Effect> makeEcho(const EffectDef& def, double sampleRate) {
    return std::make_unique<EchoEffect>(def, sampleRate);
}

std::unique_ptr<Effect> makeChorus(const EffectDef& def, double sampleRate) {
    return std::make_unique<ChorusEffect>(def, sampleRate);
}

std::unique_ptr<Effect> makeReverb(const EffectDef& def, double sampleRate) {
    return std::make_unique<ReverbEffect>(def, sampleRate);
}

}  // namespace vcmd
