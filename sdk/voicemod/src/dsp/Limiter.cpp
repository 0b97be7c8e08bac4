// Limiter.cpp - see Limiter.h for the method.
#include "dsp/Limiter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/Dsp.h"

namespace vcmd {
namespace {

constexpr double kLookaheadSeconds = 0.001;
constexpr double kReleaseSeconds = 0.060;

}  // namespace

void Limiter::configure(double sampleRate) {
    ceiling_ = std::pow(10.0f, (kCeilingDb - 0.1f) / 20.0f);
    lookahead_ = std::max(4, static_cast<int>(std::lround(kLookaheadSeconds * sampleRate)));
    delay_ = static_cast<int>(latencyFrames());
    release_ = static_cast<float>(std::exp(-1.0 / (kReleaseSeconds * sampleRate)));

    // Phase k interpolates at k/4 of the way from the sample kDetectorDelay
    // frames back to the next one. Each phase is normalised to unit gain at
    // DC.
    const double beta = 6.0;
    bound_ = 1.0f;
    for (int k = 0; k < kPhases; ++k) {
        const double frac = (k + 1) / 4.0;
        double sum = 0.0, weights[kTaps];
        for (int j = 0; j < kTaps; ++j) {
            const double x = (kTaps - 1 - j) - (kDetectorDelay - 1) - frac;  // distance from the point, in samples
            const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(kPi * x) / (kPi * x);
            const double r = x / (kTaps / 2.0);
            const double window = std::fabs(r) < 1.0 ? besselI0(beta * std::sqrt(1.0 - r * r)) / besselI0(beta) : 0.0;
            weights[j] = sinc * window;
            sum += weights[j];
        }
        double l1 = 0.0;
        for (int j = 0; j < kTaps; ++j) {
            phase_[k][j] = static_cast<float>(weights[j] / sum);
            l1 += std::fabs(weights[j] / sum);
        }
        bound_ = std::max(bound_, static_cast<float>(l1) * 1.0001f);
    }
    for (int c = 0; c < kMaxChannels; ++c) {
        history_[c].assign(static_cast<std::size_t>(kTaps - 1 + kMaxFrames), 0.0f);
        delayed_[c].assign(static_cast<std::size_t>(delay_ + kMaxFrames), 0.0f);
    }
    allowed_.assign(static_cast<std::size_t>(kMaxFrames), 1.0f);
    minFrame_.assign(static_cast<std::size_t>(lookahead_ + 1), 0);
    minGain_.assign(static_cast<std::size_t>(lookahead_ + 1), 1.0f);
    boxRing_.assign(static_cast<std::size_t>(lookahead_), 1.0f);
    reset();
}

void Limiter::reset() noexcept {
    for (int c = 0; c < kMaxChannels; ++c) {
        std::fill(history_[c].begin(), history_[c].end(), 0.0f);
        std::fill(delayed_[c].begin(), delayed_[c].end(), 0.0f);
    }
    previousPeak_ = 0.0f;
    minHead_ = minCount_ = 0;
    std::fill(boxRing_.begin(), boxRing_.end(), 1.0f);
    boxAt_ = 0;
    boxSum_ = lookahead_;
    released_ = 1.0f;
    unitRun_ = lookahead_;
    frame_ = 0;
}

void Limiter::detect(float* const* io, int channels, int frames) noexcept {
    // allowed_[i]: the gain the true peak around the sample kDetectorDelay
    // frames before frame i allows, counting the stretch to the sample
    // before it as well as to the one after.
    for (int i = 0; i < frames; ++i) allowed_[static_cast<std::size_t>(i)] = 0.0f;
    for (int c = 0; c < channels; ++c) {
        float* h = history_[c].data();
        std::memcpy(h + kTaps - 1, io[c], sizeof(float) * static_cast<std::size_t>(frames));
        for (int i = 0; i < frames; ++i) {
            const float* x = h + i;
            float peak = std::fabs(x[kTaps - 1 - kDetectorDelay]);
            for (const float* w : phase_) {
                float y = 0.0f;
                for (int j = 0; j < kTaps; ++j) y += w[j] * x[j];
                peak = std::max(peak, std::fabs(y));
            }
            allowed_[static_cast<std::size_t>(i)] = std::max(allowed_[static_cast<std::size_t>(i)], peak);
        }
    }
    for (int i = 0; i < frames; ++i) {
        const float peak = allowed_[static_cast<std::size_t>(i)];
        const float around = std::max(peak, previousPeak_);
        previousPeak_ = peak;
        allowed_[static_cast<std::size_t>(i)] = around > ceiling_ ? ceiling_ / around : 1.0f;
    }
}

void Limiter::process(float* const* io, int channels, int frames) noexcept {
    const auto n = static_cast<std::size_t>(frames);
    // The loudest sample the interpolator sees this time: the piece and the
    // inputs before it that its taps still reach.
    float peak = 0.0f;
    for (int c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(io[c][i]));
        for (int i = 0; i < kTaps - 1; ++i) peak = std::max(peak, std::fabs(history_[c][static_cast<std::size_t>(i)]));
    }

    // Settled at unit gain and nothing in this piece can need less: the
    // output is the delayed input, exactly what the full path would give.
    const bool quiet = peak * bound_ <= ceiling_;
    if (quiet && unitRun_ >= lookahead_ && minCount_ <= 1) {
        for (int c = 0; c < channels; ++c) {
            float* h = history_[c].data();
            std::memcpy(h + kTaps - 1, io[c], sizeof(float) * n);
            std::memmove(h, h + n, sizeof(float) * (kTaps - 1));
            float* d = delayed_[c].data();
            std::memcpy(d + delay_, io[c], sizeof(float) * n);
            std::memcpy(io[c], d, sizeof(float) * n);
            std::memmove(d, d + n, sizeof(float) * static_cast<std::size_t>(delay_));
        }
        // What detect() would have left: a peak no louder than the bound.
        previousPeak_ = peak * bound_;
        minCount_ = 0;
        frame_ += frames;
        return;
    }

    detect(io, channels, frames);
    for (int c = 0; c < channels; ++c) {
        std::memmove(history_[c].data(), history_[c].data() + n, sizeof(float) * (kTaps - 1));
        std::memcpy(delayed_[c].data() + delay_, io[c], sizeof(float) * n);
    }
    const int ring = lookahead_ + 1;
    for (std::size_t i = 0; i < n; ++i, ++frame_) {
        // Sliding minimum of the allowed gain over the last lookahead_ frames.
        const float a = allowed_[i];
        while (minCount_ > 0 && minGain_[static_cast<std::size_t>((minHead_ + minCount_ - 1) % ring)] >= a) --minCount_;
        const int back = (minHead_ + minCount_) % ring;
        minFrame_[static_cast<std::size_t>(back)] = frame_;
        minGain_[static_cast<std::size_t>(back)] = a;
        ++minCount_;
        if (minFrame_[static_cast<std::size_t>(minHead_)] <= frame_ - lookahead_) {
            minHead_ = (minHead_ + 1) % ring;
            --minCount_;
        }
        const float held = minGain_[static_cast<std::size_t>(minHead_)];

        // Release towards 1, never above what the hold allows.
        float g = 1.0f - (1.0f - released_) * release_;
        if (g > 0.99999f) g = 1.0f;
        released_ = std::min(g, held);
        unitRun_ = released_ == 1.0f ? std::min(unitRun_ + 1, lookahead_) : 0;

        // Average over the look-ahead; exactly 1 once it holds only ones.
        boxSum_ += static_cast<double>(released_) - boxRing_[static_cast<std::size_t>(boxAt_)];
        boxRing_[static_cast<std::size_t>(boxAt_)] = released_;
        boxAt_ = boxAt_ + 1 == lookahead_ ? 0 : boxAt_ + 1;
        if (unitRun_ >= lookahead_) boxSum_ = lookahead_;
        const float gain = static_cast<float>(boxSum_ / lookahead_);

        for (int c = 0; c < channels; ++c) io[c][i] = delayed_[c][i] * gain;
    }
    for (int c = 0; c < channels; ++c)
        std::memmove(delayed_[c].data(), delayed_[c].data() + n, sizeof(float) * static_cast<std::size_t>(delay_));
}

}  // namespace vcmd
