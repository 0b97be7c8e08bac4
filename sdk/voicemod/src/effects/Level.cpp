// Level.cpp - the level effects: a fixed gain, and loudness matching (a meter of the
// input and output and a gain that follows their ratio).
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

}  // namespace

std::unique_ptr<Effect> makeGain(const EffectDef& def, double sampleRate) {
    return std::make_unique<GainEffect>(def, sampleRate);
}

std::unique_ptr<Effect> makeLoudnessMatch(const EffectDef& def, double sampleRate) {
    return std::make_unique<LoudnessMatchEffect>(def, sampleRate);
}

}  // namespace vcmd
