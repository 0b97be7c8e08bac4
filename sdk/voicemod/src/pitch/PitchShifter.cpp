// PitchShifter.cpp - see PitchShifter.h for the method: configuration, the
// grains and the processing loop. The alignment search, the transients, the
// anti-fold prefilter and the interpolator's table have files of their own.
#include "pitch/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pitch/ShifterMath.h"

namespace vcmd {
using namespace shifter;

void PitchShifter::configure(double sampleRate, bool highQuality) {
    sampleRate_ = sampleRate;
    const double hopSeconds = highQuality ? 0.012 : 0.008;
    const double searchSeconds = highQuality ? 0.0075 : 0.006;
    const double compareSeconds = highQuality ? 0.006 : 0.004;
    hop_ = std::max(8, static_cast<int>(std::lround(hopSeconds * sampleRate)));
    search_ = std::max(4, static_cast<int>(std::lround(searchSeconds * sampleRate)));
    compare_ = std::max(8, static_cast<int>(std::lround(compareSeconds * sampleRate)));
    stride_ = std::max(1, static_cast<int>(sampleRate / 11025.0));
    // The grain middle must lie far enough back that an octave up still
    // ends a grain behind the newest input (hop + search + 1 ms) and an
    // octave down still has a full comparison span before it.
    const int upNeed = hop_ + search_ + std::max(kTaps / 2 + 2, static_cast<int>(std::lround(0.001 * sampleRate)));
    const int downNeed = hop_ / 2 + search_ + compare_ + 2 * stride_ + 4;
    nominalDelay_ = std::max(upNeed, downNeed);

    const std::size_t longest = static_cast<std::size_t>(nominalDelay_ + hop_ + search_ + compare_ + 2 * kTaps + 32);
    const std::size_t n = powerOfTwoAtLeast(longest);
    mask_ = n - 1;
    for (auto& line : lines_) line.assign(2 * n, 0.0f);
    for (auto& line : filtered_) line.assign(2 * n, 0.0f);
    prefilterWarm_ = static_cast<int>(longest);

    designInterpolator();
    mix_.assign(2 * n, 0.0f);
    const std::size_t nc = powerOfTwoAtLeast(n / static_cast<std::size_t>(stride_) + 2);
    coarseMask_ = nc - 1;
    coarse_.assign(2 * nc, 0.0f);
    window_.resize(static_cast<std::size_t>(2 * hop_));
    for (int k = 0; k < 2 * hop_; ++k)
        window_[static_cast<std::size_t>(k)] = static_cast<float>(0.5 - 0.5 * std::cos(kPi * k / hop_));
    // Transients: about 1 ms detection frames of the coarse mix; the
    // running grains fade out over 1.5 ms (never under 0.25 ms; going down
    // up to 3 ms) and are gone
    // 0.5 ms before the transient; later grains leave its first 3 ms alone.
    onsets_.configure(static_cast<int>(std::lround(0.001 * sampleRate / stride_)), 1000.0);
    fadeLength_ = std::max(2, static_cast<int>(std::lround(0.0015 * sampleRate)));
    longestFade_ = std::max(fadeLength_, static_cast<int>(std::lround(0.003 * sampleRate)));
    shortestFade_ = std::max(1, static_cast<int>(std::lround(0.00025 * sampleRate)));
    lead_ = static_cast<int>(std::lround(0.0005 * sampleRate)) + kTaps / 2;
    attack_ = static_cast<int>(std::lround(0.003 * sampleRate));
    holdAfter_ = static_cast<int>(std::lround(0.005 * sampleRate));
    semitones_.configure(sampleRate);
    reset();
}

void PitchShifter::reset() noexcept {
    for (auto& line : lines_) std::fill(line.begin(), line.end(), 0.0f);
    for (auto& line : filtered_) std::fill(line.begin(), line.end(), 0.0f);
    for (auto& channel : prefilterState_)
        for (auto& st : channel) st = BiquadState{};
    prefilterRun_ = 0;
    std::fill(mix_.begin(), mix_.end(), 0.0f);
    std::fill(coarse_.begin(), coarse_.end(), 0.0f);
    // Counting from a large multiple of the stride keeps every read position
    // positive (truncation is floor) without changing what is read: the
    // history starts as silence either way.
    written_ = kFirstSample - kFirstSample % stride_;
    coarseSum_ = 0.0f;
    coarseFill_ = 0;
    untilGrain_ = 0;
    for (Grain& g : grains_) g = Grain{};
    newest_ = 0;
    frameFill_ = 0;
    onsets_.reset();
    transientState_ = 0;
    transientGrains_ = false;
    fadingIn_ = 0;
    fadeCorrelation_ = 1.0f;
    transientAt_ = transientRead_ = 0;
    lowestStart_ = 0;
}

void PitchShifter::setSemitones(float semitones) noexcept {
    semitones_.setTarget(std::min(12.0f, std::max(-12.0f, semitones)));
}

void PitchShifter::jumpSemitones(float semitones) noexcept {
    semitones_.jump(std::min(12.0f, std::max(-12.0f, semitones)));
    ratio_ = std::exp2(semitones_.value() / 12.0f);
    designPrefilter();
}

int PitchShifter::startGrain() noexcept {
    // A free slot: in the steady state the grain before the previous one
    // has just ended, so two slots take turns.
    int slot = 0;
    while (slot < kGrains - 1 && grains_[slot].active) ++slot;
    const Grain& previous = grains_[newest_];
    const bool follows = previous.active;
    const double r = ratio_;
    Grain g;
    g.active = true;
    g.filtered = ratio_ > 1.0f && prefilterRun_ >= prefilterWarm_;
    g.lag = g.filtered ? prefilterLag_ : 0.0;
    const auto lag = static_cast<std::int64_t>(std::ceil(g.lag));
    int next = hop_;
    if (transientState_ == 1 && written_ >= transientStart_) {
        // The transient's grain: it reads the transient at the output time
        // its nominal delay gives (written_ == transientRead_), at full
        // gain, starting at its window's peak and fading in while every
        // running grain fades out before reaching the transient. It holds
        // until `transientHold_` samples after the transient.
        // Never from before the previous transient's attack: rather a little
        // early than that one twice.
        g.position = std::max(
            static_cast<double>(lowestStart_) + g.lag,
            static_cast<double>(transientAt_) + g.lag - r * static_cast<double>(transientRead_ - written_));
        g.age = hop_;
        next = static_cast<int>(std::max<std::int64_t>(1, transientRead_ + transientHold_ - written_));
        g.hold = next;
        crossfadeTo(
            g, slot, transientFade_,
            follows ? readCorrelation(g.position - g.lag, previous.position - previous.lag, transientFade_)
                    : 1.0f);
        lowestStart_ = transientAt_ + attack_;
        transientState_ = 2;
    } else if (transientState_ == 2) {
        // After it, a grain at full gain too, taking over in a short
        // crossfade: it reads from the nominal delay on (near it, in phase)
        // but never the transient's attack again, and must end behind the
        // newest input; the next regular grain starts once it is in.
        constexpr int margin = kTaps / 2 + 2;
        const std::int64_t nominal = written_ - 1 - nominalDelay_;
        const std::int64_t highest =
            written_ - 1 - margin -
            (r > 1.0 ? static_cast<std::int64_t>(std::ceil((r - 1.0) * (fadeLength_ + hop_))) : 0);
        g.position = static_cast<double>(nominal);
        if (follows) {
            const auto reference = static_cast<std::int64_t>(previous.position);
            g.position =
                previous.position + bestOffset(reference, nominal, lowestStart_ + lag, highest + lag);
        }
        g.age = hop_;
        g.hold = fadeLength_;
        next = fadeLength_;
        crossfadeTo(g, slot, fadeLength_, 1.0f);  // lined up by the search
        transientState_ = 0;
    } else {
        if (transientState_ == 1)
            next = static_cast<int>(std::min<std::int64_t>(next, transientStart_ - written_));
        // Nominal start: the delay that puts the grain's middle at
        // nominalDelay_. The search looks around it for the start that
        // continues the previous grain in phase; going up, the grain must
        // end behind the newest input.
        const double startDelay = nominalDelay_ + (r - 1.0) * hop_;
        const double start = static_cast<double>(written_ - 1) - startDelay;  // from the newest sample
        const double startWhole = std::floor(start);
        const auto nominal = static_cast<std::int64_t>(startWhole);
        const std::int64_t endMargin =
            r > 1.0 ? static_cast<std::int64_t>(std::ceil((r - 1.0) * 2 * hop_)) + kTaps / 2 + 2 : 0;
        g.position = start;
        // At 0 semitones, once there, every grain reads at the nominal delay:
        // the shifter is a plain delay. (The search would find the previous
        // grain's continuation there too, or as well a period away in
        // voiced sound, and its sub-sample step would interpolate.)
        const bool plainDelay = ratio_ == 1.0f && !semitones_.moving();
        if (follows && !plainDelay) {
            // Placed relative to the grain it takes over from, fraction and all.
            const auto reference = static_cast<std::int64_t>(previous.position);
            g.position =
                previous.position + bestOffset(reference, nominal, lowestStart_ + lag, written_ - endMargin);
        }
    }
    grains_[slot] = g;
    newest_ = slot;
    return next;
}

void PitchShifter::process(float* const* io, int channels, int frames) noexcept {
    for (int done = 0; done < frames; done += kChunk) {
        float* part[kMaxChannels] = {io[0] + done, channels > 1 ? io[1] + done : nullptr};
        if (channels > 1)
            processChunk<2>(part, std::min(kChunk, frames - done));
        else
            processChunk<1>(part, std::min(kChunk, frames - done));
    }
}

template <int channels>
void PitchShifter::processChunk(float* const* io, int frames) noexcept {
    const std::size_t n = mask_ + 1;
    const int life = 2 * hop_;
    constexpr int half = kTaps / 2;
    // With the ratio steady above 1 the anti-fold filter runs over the whole
    // chunk first, both channels at once (one in each lane) through all its
    // sections, whose state stays in registers; while it glides, sample by
    // sample with the changing coefficients. The arithmetic per sample is the
    // same either way.
    const bool prefilterWholeChunk = !semitones_.moving() && ratio_ > 1.0f;
    // Without a glide the direction holds for the whole chunk.
    const bool gliding = semitones_.moving();
    const bool upwardsWithoutGlide = ratio_ > 1.0f || semitones_.target() > 0.0f;
    // Kept in registers over the chunk (stores to the history could
    // otherwise alias them).
    float coarseSum = coarseSum_;
    int coarseFill = coarseFill_;
    int frameFill = frameFill_;
    // The newest and oldest read positions the interpolator may use, moved
    // on by one per sample (whole numbers, so exactly).
    double newest = static_cast<double>(written_ - half - 1);
    double oldest = static_cast<double>(written_) - static_cast<double>(mask_ - kTaps);
    if (prefilterWholeChunk) {
        static_assert(kPrefilterSections == 3, "the loop below runs three sections");
        const BiquadCoefficients& c0 = prefilter_[0];
        const BiquadCoefficients& c1 = prefilter_[1];
        const BiquadCoefficients& c2 = prefilter_[2];
        Float4 z1[kPrefilterSections], z2[kPrefilterSections];
        for (int k = 0; k < kPrefilterSections; ++k) {
            z1[k] = Float4{prefilterState_[0][k].z1, prefilterState_[1][k].z1, 0.0f, 0.0f};
            z2[k] = Float4{prefilterState_[0][k].z2, prefilterState_[1][k].z2, 0.0f, 0.0f};
        }
        Float4 a0 = z1[0], b0 = z2[0], a1 = z1[1], b1 = z2[1], a2 = z1[2], b2 = z2[2];
        const float* right = channels > 1 ? io[1] : nullptr;
        for (int i = 0; i < frames; ++i) {
            const Float4 x = {io[0][i], right ? right[i] : 0.0f, 0.0f, 0.0f};
            const Float4 y0 = c0.b0 * x + a0;
            a0 = c0.b1 * x - c0.a1 * y0 + b0;
            b0 = c0.b2 * x - c0.a2 * y0;
            const Float4 y1 = c1.b0 * y0 + a1;
            a1 = c1.b1 * y0 - c1.a1 * y1 + b1;
            b1 = c1.b2 * y0 - c1.a2 * y1;
            const Float4 y2 = c2.b0 * y1 + a2;
            a2 = c2.b1 * y1 - c2.a1 * y2 + b2;
            b2 = c2.b2 * y1 - c2.a2 * y2;
            prefiltered_[0][i] = y2[0];
            prefiltered_[1][i] = y2[1];
        }
        z1[0] = a0, z2[0] = b0, z1[1] = a1, z2[1] = b1, z1[2] = a2, z2[2] = b2;
        for (int c = 0; c < kMaxChannels; ++c) {
            for (int k = 0; k < kPrefilterSections; ++k) {
                prefilterState_[c][k].z1 = z1[k][c];
                prefilterState_[c][k].z2 = z2[k][c];
            }
        }
    }
    for (int i = 0; i < frames; ++i) {
        if (semitones_.moving()) {
            ratio_ = std::exp2(semitones_.next() / 12.0f);
            // The anti-fold filter follows the glide every 16 samples.
            if ((++designCount_ & 15) == 0 || !semitones_.moving()) designPrefilter();
        }
        const bool upwards = gliding ? ratio_ > 1.0f || semitones_.target() > 0.0f : upwardsWithoutGlide;
        const float ratio = ratio_;

        const std::size_t at = static_cast<std::size_t>(written_) & mask_;
        float m = 0.0f;
        for (int c = 0; c < channels; ++c) {
            const float x = io[c][i];
            lines_[c][at] = x;
            lines_[c][at + n] = x;
            m += x;
            if (upwards) {
                float y = x;
                if (prefilterWholeChunk) {
                    y = prefiltered_[c][i];
                } else {
                    for (int k = 0; k < kPrefilterSections; ++k) y = prefilterState_[c][k].run(prefilter_[k], y);
                }
                filtered_[c][at] = y;
                filtered_[c][at + n] = y;
            }
        }
        if (upwards) {
            if (prefilterRun_ < prefilterWarm_) ++prefilterRun_;
        } else {
            prefilterRun_ = 0;
        }
        mix_[at] = m;
        mix_[at + n] = m;
        coarseSum += m;
        if (++coarseFill == stride_) {
            const std::size_t k = static_cast<std::size_t>(written_ / stride_) & coarseMask_;
            const float v = coarseSum / static_cast<float>(stride_);
            coarse_[k] = v;
            coarse_[k + coarseMask_ + 1] = v;
            coarseSum = 0.0f;
            coarseFill = 0;
            if (++frameFill == onsets_.frameLength()) {
                frameFill = 0;
                detectTransient();
            }
        }
        ++written_;

        if (untilGrain_ == 0) untilGrain_ = startGrain();
        --untilGrain_;

        // Band-limited interpolation: the tap weights depend only on the
        // grain's position, so they are worked out once for all channels
        // (the tabulated row below the fraction plus a part of its step) and
        // scaled by the grain's window.
        newest += 1.0;
        oldest += 1.0;
        Float4 out0 = {0.0f, 0.0f, 0.0f, 0.0f}, out1 = out0;
        auto read = [&](const Grain& g, float win) {
            const double p = std::min(newest, std::max(oldest, g.position - g.lag));
            const auto whole = static_cast<std::int64_t>(p);
            const float f = static_cast<float>(p - static_cast<double>(whole)) * kFractions;
            const int row = std::min(kFractions - 1, static_cast<int>(f));
            const float a = f - static_cast<float>(row);
            const float* k0 = kernel_.data() + static_cast<std::size_t>(row * 2 * kTaps);
            const Weights w(k0, k0 + kTaps, a);
            const std::size_t at0 = static_cast<std::size_t>(whole - (half - 1)) & mask_;
            const std::vector<float>* source = g.filtered ? filtered_ : lines_;
            out0 += win * w.apply(source[0].data() + at0);
            if (channels > 1) out1 += win * w.apply(source[1].data() + at0);
        };
        if (!transientGrains_) {
            // The usual two grains, in the first two slots.
            for (int k = 0; k < 2; ++k) {
                const Grain& g = grains_[k];
                if (g.active) read(g, window_[static_cast<std::size_t>(g.age)]);
            }
            const Float4 sums = sumLanes(out0, out1);
            output_[0][i] = sums[0];
            output_[1][i] = sums[1];
            for (int k = 0; k < 2; ++k) {
                Grain& g = grains_[k];
                if (!g.active) continue;
                g.position += ratio;
                if (++g.age >= life) g.active = false;
            }
        } else {
            // While a transient's grains hold or crossfade: every slot, with
            // its fade.
            // Linear fades in (x) and out (1 - x) of sound correlated by c
            // sum to a level of sqrt(x^2 + (1 - x)^2 + 2 c x (1 - x)): all
            // fades are divided by it (1 once the crossfade is over).
            const float x = grains_[fadingIn_].fade, y = 1.0f - x;
            const float level = std::sqrt(x * x + y * y + 2.0f * fadeCorrelation_ * x * y);
            const float scale = level > 0.0f ? 1.0f / level : 1.0f;
            for (const Grain& g : grains_)
                if (g.active) read(g, window_[static_cast<std::size_t>(g.age)] * g.fade * scale);
            const Float4 sums = sumLanes(out0, out1);
            output_[0][i] = sums[0];
            output_[1][i] = sums[1];
            advanceTransientGrains(ratio);
        }
    }
    coarseSum_ = coarseSum;
    coarseFill_ = coarseFill;
    frameFill_ = frameFill;
    // The output went to a buffer of the shifter's own (which nothing else
    // may alias, so the loop keeps the shifter's state in registers) and
    // replaces the input only now.
    for (int c = 0; c < channels; ++c) std::memcpy(io[c], output_[c], static_cast<std::size_t>(frames) * sizeof(float));
}

}  // namespace vcmd
