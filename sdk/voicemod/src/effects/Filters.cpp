// Filters.cpp - the filter effects: one biquad of any kind, and a band with sharp edges.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dsp/Dsp.h"
#include "dsp/Elliptic.h"
#include "dsp/Piece.h"
#include "effects/EffectKinds.h"
#include "effects/RampedEffect.h"

namespace vcmd {
namespace {

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

}  // namespace

std::unique_ptr<Effect> makeFilter(const EffectDef& def, double sampleRate, FilterKind kind) {
    return std::make_unique<FilterEffect>(def, sampleRate, kind);
}

std::unique_ptr<Effect> makeBand(const EffectDef& def, double sampleRate) {
    return std::make_unique<BandEffect>(def, sampleRate);
}

}  // namespace vcmd
