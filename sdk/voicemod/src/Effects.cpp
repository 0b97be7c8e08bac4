// Effects.cpp - the effects and background layers a voice is built from.
//
// Each one keeps per-channel state for kMaxChannels channels, allocates only
// in its constructor and glides every setting through a Ramp, advanced once
// per frame, so that its output depends only on the input samples and the
// settings' history, never on how the input is cut into blocks.
#include "Effects.h"

#include <algorithm>
#include <cmath>

#include "Chain.h"
#include "Dsp.h"
#include "Elliptic.h"
#include "FormantShifter.h"
#include "PitchShifter.h"
#include "Reverb.h"
#include "Whisperer.h"

namespace vcmd {
namespace {

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

// Base for effects whose settings are plain ramps.
template <int N>
class RampedEffect : public Effect {
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

// --- pitch ----------------------------------------------------------------------

class PitchEffect final : public Effect {
public:
    PitchEffect(const EffectDef& def, const ChainConfig& config) {
        shifter_.configure(config.sampleRate, config.offline);
        shifter_.jumpSemitones(def.settings[0]);
        formant_.configure(config.sampleRate, static_cast<int>(shifter_.latencyFrames()));
        followsPitch_ = def.settings[1] == kFormantFollowsPitch;
        formant_.jumpPitch(def.settings[0]);
        formant_.jumpFormant(followsPitch_ ? def.settings[0] : def.settings[1]);
    }
    void setTarget(int index, float value) noexcept override {
        if (index == 0) {
            shifter_.setSemitones(value);
            formant_.setPitch(value);
            if (followsPitch_) formant_.setFormant(value);
        } else if (index == 1) {
            // Set once, the formants no longer follow the pitch.
            followsPitch_ = false;
            formant_.setFormant(value);
        }
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        // The formant stage reads the input the shifter is about to replace.
        for (int done = 0; done < frames; done += kPiece) {
            const int n = std::min(kPiece, frames - done);
            float* part[FormantShifter::kMaxChannels] = {io[0] + done, channels > 1 ? io[1] + done : nullptr};
            formant_.hear(part, channels, n);
            shifter_.process(part, channels, n);
            formant_.process(part, channels, n);
        }
    }
    void reset() noexcept override {
        shifter_.reset();
        formant_.reset();
    }
    unsigned latencyFrames() const noexcept override {
        return shifter_.latencyFrames() + static_cast<unsigned>(formant_.latencyFrames());
    }

private:
    static constexpr int kPiece = 256;
    PitchShifter shifter_;
    FormantShifter formant_;
    bool followsPitch_ = false;
};

// --- modulation -------------------------------------------------------------------

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

// --- filters ------------------------------------------------------------------------

class FilterEffect final : public RampedEffect<3> {
public:
    FilterEffect(const EffectDef& def, double sampleRate, FilterKind kind)
        : RampedEffect(def, sampleRate), rate_(sampleRate), kind_(kind) {
        design();
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        int i = 0;
        for (; i < frames && (ramps_[0].moving() || ramps_[1].moving() || ramps_[2].moving()); ++i) {
            for (Ramp& r : ramps_) r.next();
            // New coefficients every 16 samples of a glide, counted from
            // the glide's start, not from the block's.
            if ((++glide_ & 15) == 0 || !(ramps_[0].moving() || ramps_[1].moving() || ramps_[2].moving()))
                design();
            for (int c = 0; c < channels; ++c) io[c][i] = state_[c].run(coefficients_, io[c][i]);
        }
        if (i == frames) return;
        // Settled for the rest of the block (settings change only between
        // calls): the filter runs from copies, which the compiler keeps in
        // registers rather than reloading after every store to the audio.
        // Both channels in one loop: each sample waits on the one before,
        // and the two chains overlap.
        glide_ = 0;
        const BiquadCoefficients k = coefficients_;
        if (channels == 2) {
            BiquadState s0 = state_[0], s1 = state_[1];
            float *x0 = io[0], *x1 = io[1];
            for (int j = i; j < frames; ++j) {
                x0[j] = s0.run(k, x0[j]);
                x1[j] = s1.run(k, x1[j]);
            }
            state_[0] = s0;
            state_[1] = s1;
            return;
        }
        BiquadState s = state_[0];
        float* x = io[0];
        for (int j = i; j < frames; ++j) x[j] = s.run(k, x[j]);
        state_[0] = s;
    }
    void reset() noexcept override {
        for (auto& s : state_) s = BiquadState{};
    }

private:
    void design() noexcept {
        coefficients_ = designBiquad(kind_, rate_, ramps_[0].value(), ramps_[1].value(), ramps_[2].value());
    }
    double rate_;
    FilterKind kind_;
    BiquadCoefficients coefficients_;
    BiquadState state_[kMaxChannels];
    unsigned glide_ = 0;
};

// A band with sharp edges: an order-8 elliptic high-pass at `low` and
// low-pass at `high`, flat within 0.1 dB between them and at least 65 dB
// down below low / 1.23 and above high * 1.23 (prewarped frequencies, so a
// little closer still in Hz).
class BandEffect final : public RampedEffect<2> {
public:
    BandEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate), rate_(sampleRate) {
        design();
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving() || ramps_[1].moving()) {
                for (Ramp& r : ramps_) r.next();
                if ((++glide_ & 15) == 0 || !(ramps_[0].moving() || ramps_[1].moving())) design();
            } else {
                glide_ = 0;
            }
            for (int c = 0; c < channels; ++c) {
                float x = io[c][i];
                for (int k = 0; k < 2 * kSections; ++k) x = state_[c][k].run(coefficients_[k], x);
                io[c][i] = x;
            }
        }
    }
    void reset() noexcept override {
        for (auto& channel : state_)
            for (auto& s : channel) s = BiquadState{};
    }

private:
    static constexpr int kSections = 4;
    void design() noexcept {
        const double top = 0.45 * rate_;
        prototype_.highpass(rate_, std::min(top, static_cast<double>(ramps_[0].value())), coefficients_);
        prototype_.lowpass(rate_, std::min(top, static_cast<double>(ramps_[1].value())), coefficients_ + kSections);
    }
    EllipticPrototype prototype_{2 * kSections, 0.1, 65.0};
    double rate_;
    BiquadCoefficients coefficients_[2 * kSections];
    BiquadState state_[kMaxChannels][2 * kSections];
    unsigned glide_ = 0;
};

// --- non-linear ------------------------------------------------------------------

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

// --- delays -----------------------------------------------------------------------

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

class GainEffect final : public RampedEffect<1> {
public:
    GainEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate) { gain_ = dbToGain(def.settings[0]); }
    void process(float* const* io, int channels, int frames) noexcept override {
        for (int i = 0; i < frames; ++i) {
            if (ramps_[0].moving()) gain_ = dbToGain(ramps_[0].next());
            for (int c = 0; c < channels; ++c) io[c][i] *= gain_;
        }
    }
    void reset() noexcept override {}

private:
    float gain_;
};

// Keeps the voice's long-term loudness at its input's. Input (heard before
// the chain) and output are K-weighted (a 38 Hz high-pass and a +4 dB shelf
// above about 1.7 kHz, as loudness meters weigh), their mean squares taken
// over blocks of 1024 frames; blocks whose input is below -70 dBFS (pauses)
// are left out. Each block's powers join running averages (a plain mean
// for the first 3 s of sound, then exponential over 3 s), and the gain
// glides linearly over the next block to sqrt(input / output), within
// +-range_db. Slow by design: it evens out how loud a voice is overall, not
// the dynamics of speech.
class LoudnessMatchEffect final : public RampedEffect<1> {
public:
    LoudnessMatchEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate) {
        weigh(sampleRate);
        seconds_ = kBlock / sampleRate;
    }
    bool hearsInput() const noexcept override { return true; }
    void hear(const float* const* input, int channels, int frames) noexcept override {
        for (int i = 0; i < frames && i < kMaxPiece; ++i) {
            float m = 0.0f;
            for (int c = 0; c < channels; ++c) m += input[c][i];
            heard_[i] = m;
        }
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        // The running state in locals, which the compiler keeps in registers
        // (members would be reloaded after every store to the audio); back
        // in the members around each end of a measuring block.
        const BiquadCoefficients hc = highpassC_, sc = shelfC_;
        BiquadState hi = highpass_[0], si = shelf_[0], ho = highpass_[1], so = shelf_[1];
        double sumIn = sumIn_, sumOut = sumOut_;
        float gain = gain_, step = step_;
        int fill = fill_;
        for (int i = 0; i < frames; ++i) {
            const float range = ramps_[0].next();
            float out = 0.0f;
            for (int c = 0; c < channels; ++c) out += io[c][i];
            const float wi = si.run(sc, hi.run(hc, i < kMaxPiece ? heard_[i] : 0.0f));
            const float wo = so.run(sc, ho.run(hc, out));
            sumIn += static_cast<double>(wi) * wi;
            sumOut += static_cast<double>(wo) * wo;
            if (++fill == kBlock) {
                sumIn_ = sumIn;
                sumOut_ = sumOut;
                gain_ = gain;
                endBlock(range);
                sumIn = sumIn_;
                sumOut = sumOut_;
                step = step_;
                fill = fill_;
            }
            gain += step;
            for (int c = 0; c < channels; ++c) io[c][i] *= gain;
        }
        highpass_[0] = hi;
        shelf_[0] = si;
        highpass_[1] = ho;
        shelf_[1] = so;
        sumIn_ = sumIn;
        sumOut_ = sumOut;
        gain_ = gain;
        fill_ = fill;
    }
    void reset() noexcept override {
        for (auto& s : highpass_) s = BiquadState{};
        for (auto& s : shelf_) s = BiquadState{};
        sumIn_ = sumOut_ = meanIn_ = meanOut_ = 0.0;
        heardSeconds_ = 0.0;
        fill_ = 0;
        gain_ = 1.0f;
        step_ = 0.0f;
    }

private:
    static constexpr int kBlock = 1024;
    static constexpr int kMaxPiece = kPieceFrames;
    void endBlock(float rangeDb) noexcept {
        const double in = sumIn_ / kBlock, out = sumOut_ / kBlock;
        sumIn_ = sumOut_ = 0.0;
        fill_ = 0;
        float target = gain_;
        if (in > 1e-7) {  // -70 dBFS
            heardSeconds_ += seconds_;
            const double a = std::max(seconds_ / 3.0, seconds_ / heardSeconds_);
            meanIn_ += (in - meanIn_) * a;
            meanOut_ += (out - meanOut_) * a;  // measured before the gain: the voice's own level
            if (meanOut_ > 1e-20) {
                const double limit = std::pow(10.0, rangeDb / 20.0);
                target = static_cast<float>(std::min(limit, std::max(1.0 / limit, std::sqrt(meanIn_ / meanOut_))));
            }
        }
        step_ = (target - gain_) / kBlock;
    }
    void weigh(double rate) noexcept {
        highpassC_ = designBiquad(FilterKind::HighPass, rate, 38.0, 0.5, 0.0);
        // High shelf, +4 dB, from the audio-EQ cookbook.
        const double A = std::pow(10.0, 4.0 / 40.0), w = 2.0 * kPi * std::min(1681.97, 0.45 * rate) / rate;
        const double cw = std::cos(w), alpha = std::sin(w) / (2.0 * 0.7071), r = 2.0 * std::sqrt(A) * alpha;
        const double b0 = A * ((A + 1) + (A - 1) * cw + r), b1 = -2 * A * ((A - 1) + (A + 1) * cw),
                     b2 = A * ((A + 1) + (A - 1) * cw - r), a0 = (A + 1) - (A - 1) * cw + r,
                     a1 = 2 * ((A - 1) - (A + 1) * cw), a2 = (A + 1) - (A - 1) * cw - r;
        shelfC_ = {static_cast<float>(b0 / a0), static_cast<float>(b1 / a0), static_cast<float>(b2 / a0),
                   static_cast<float>(a1 / a0), static_cast<float>(a2 / a0)};
    }
    BiquadCoefficients highpassC_, shelfC_;
    BiquadState highpass_[2], shelf_[2];  // input, output
    float heard_[kMaxPiece] = {};
    double sumIn_ = 0.0, sumOut_ = 0.0, meanIn_ = 0.0, meanOut_ = 0.0;
    double seconds_ = 0.0, heardSeconds_ = 0.0;
    int fill_ = 0;
    float gain_ = 1.0f, step_ = 0.0f;
};

// --- background layers: add a mono sound to every channel ------------------------

class NoiseLayer final : public RampedEffect<1> {
public:
    NoiseLayer(const EffectDef& def, double sampleRate, std::uint64_t seed)
        : RampedEffect(def, sampleRate), type_(def.type), seed_(seed) {
        reset();
    }
    void process(float* const* io, int channels, int frames) noexcept override {
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
            for (int c = 0; c < channels; ++c) io[c][i] += v;
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
class HumLayer final : public RampedEffect<2> {
public:
    HumLayer(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate), rate_(sampleRate) {
        osc_.setFrequency(ramps_[0].value(), rate_);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
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
            for (int ch = 0; ch < channels; ++ch) io[ch][i] += v;
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
class ToneLayer final : public RampedEffect<3> {
public:
    ToneLayer(const EffectDef& def, double sampleRate)
        : RampedEffect(def, sampleRate), rate_(sampleRate), period_(1.0 / sampleRate) {
        wobble_.setFrequency(kWobbleStep * ramps_[1].value(), rate_);
    }
    void process(float* const* io, int channels, int frames) noexcept override {
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
            for (int c = 0; c < channels; ++c) io[c][i] += v;
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

std::unique_ptr<Effect> makeEffect(const EffectDef& def, const ChainConfig& config, std::uint64_t seed) {
    const double fs = config.sampleRate;
    switch (def.type) {
        case EffectType::PitchShift: return std::make_unique<PitchEffect>(def, config);
        case EffectType::RingMod: return std::make_unique<RingModEffect>(def, fs);
        case EffectType::NoiseMod: return std::make_unique<NoiseModEffect>(def, fs, seed);
        case EffectType::Whisper: return std::make_unique<WhisperEffect>(def, fs, seed);
        case EffectType::LowPass: return std::make_unique<FilterEffect>(def, fs, FilterKind::LowPass);
        case EffectType::HighPass: return std::make_unique<FilterEffect>(def, fs, FilterKind::HighPass);
        case EffectType::BandPass: return std::make_unique<FilterEffect>(def, fs, FilterKind::BandPass);
        case EffectType::Peaking: return std::make_unique<FilterEffect>(def, fs, FilterKind::Peaking);
        case EffectType::Band: return std::make_unique<BandEffect>(def, fs);
        case EffectType::Distortion: return std::make_unique<DistortionEffect>(def, fs);
        case EffectType::BitCrush: return std::make_unique<BitCrushEffect>(def, fs);
        case EffectType::Echo: return std::make_unique<EchoEffect>(def, fs);
        case EffectType::Chorus: return std::make_unique<ChorusEffect>(def, fs);
        case EffectType::Tremolo: return std::make_unique<TremoloEffect>(def, fs);
        case EffectType::Reverb: return std::make_unique<ReverbEffect>(def, fs);
        case EffectType::Gain: return std::make_unique<GainEffect>(def, fs);
        case EffectType::LoudnessMatch: return std::make_unique<LoudnessMatchEffect>(def, fs);
        case EffectType::WhiteNoise:
        case EffectType::PinkNoise:
        case EffectType::BrownNoise: return std::make_unique<NoiseLayer>(def, fs, seed);
        case EffectType::Hum: return std::make_unique<HumLayer>(def, fs);
        case EffectType::Tone: return std::make_unique<ToneLayer>(def, fs);
    }
    return std::make_unique<GainEffect>(def, fs);
}

}  // namespace vcmd
