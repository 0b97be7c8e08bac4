// Level.cpp - the level effects: a fixed gain, and loudness matching (the meter of
// dsp/Loudness.h on the input and output, and a gain that follows it).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dsp/Dsp.h"
#include "dsp/Loudness.h"
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

// Keeps the voice's long-term loudness at its input's: the input (heard
// before the chain) and the output are K-weighted and their mean squares
// taken over blocks of 1024 frames; a LoudnessComparison of the two gives
// the gain, which glides linearly over the next block.
class LoudnessMatchEffect final : public RampedEffect<1> {
public:
    LoudnessMatchEffect(const EffectDef& def, double sampleRate) : RampedEffect(def, sampleRate) {
        const KWeighting k = KWeighting::design(sampleRate);
        highpassC_ = k.highpass;
        shelfC_ = k.shelf;
        comparison_.configure(kBlock / sampleRate);
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
        sumIn_ = sumOut_ = 0.0;
        comparison_.reset();
        fill_ = 0;
        gain_ = 1.0f;
        step_ = 0.0f;
    }

private:
    static constexpr int kBlock = 1024;
    static constexpr int kMaxPiece = kPieceFrames;
    void endBlock(float rangeDb) noexcept {
        const double in = sumIn_ / kBlock, out = sumOut_ / kBlock;  // out before the gain: the voice's own level
        sumIn_ = sumOut_ = 0.0;
        fill_ = 0;
        const float target = comparison_.update(in, out, rangeDb, gain_);
        step_ = (target - gain_) / kBlock;
    }
    BiquadCoefficients highpassC_, shelfC_;
    BiquadState highpass_[2], shelf_[2];  // input, output
    float heard_[kMaxPiece] = {};
    double sumIn_ = 0.0, sumOut_ = 0.0;
    LoudnessComparison comparison_;
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
