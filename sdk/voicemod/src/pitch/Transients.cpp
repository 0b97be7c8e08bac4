// Transients.cpp - transients kept whole: when the onset detector fires,
// the crossfade into a transient's own grain and the grains held while it
// passes.
#include "pitch/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "pitch/ShifterMath.h"

namespace vcmd {
using namespace shifter;

float PitchShifter::readCorrelation(double a, double b, int length) const noexcept {
    const double r = ratio_;
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (int k = 0; k < length; ++k) {
        const float x = mix_[static_cast<std::size_t>(static_cast<std::int64_t>(a + r * k)) & mask_];
        const float y = mix_[static_cast<std::size_t>(static_cast<std::int64_t>(b + r * k)) & mask_];
        ab += static_cast<double>(x) * y;
        aa += static_cast<double>(x) * x;
        bb += static_cast<double>(y) * y;
    }
    if (!(aa * bb > 1e-24)) return 1.0f;
    return static_cast<float>(std::min(1.0, std::max(0.0, ab / std::sqrt(aa * bb))));
}

void PitchShifter::crossfadeTo(Grain& g, int slot, int length, float correlation) noexcept {
    transientGrains_ = true;
    fadingIn_ = slot;
    fadeCorrelation_ = correlation;
    g.fade = 0.0f;
    g.fadeLeft = length;
    g.fadeStep = 1.0f / static_cast<float>(length);
    for (Grain& other : grains_) {
        if (!other.active) continue;
        other.fadeLeft = length;
        other.fadeStep = -other.fade / static_cast<float>(length);
    }
}

void PitchShifter::detectTransient() noexcept {
    // The frame just completed, with the four coarse samples before it for
    // the detector's high-pass. While one transient waits for its grain,
    // another is not looked for; once that grain runs, the next one's grain
    // may take over from it. At exactly 0 semitones the shifter is a delay,
    // with nothing to mend.
    const int frame = onsets_.frameLength();
    const std::int64_t first = written_ / stride_ - frame + 1;  // written_ is positive
    const float* c = coarse_.data() + (static_cast<std::uint64_t>(first - 4) & coarseMask_);
    const bool steady = ratio_ == 1.0f && !semitones_.moving();
    if (!onsets_.frame(c + 4, !steady && transientState_ != 1)) return;
    // Where it starts: taken as the frame's first sample, less two coarse
    // samples for the high-pass's delay. It is read (by a grain at its
    // nominal delay) when written_ reaches `read`.
    const std::int64_t at = written_ + 1 - static_cast<std::int64_t>(frame + 2) * stride_;
    const std::int64_t read = at + nominalDelay_ + 1;
    const double r = ratio_;
    // Every running grain must be silent before it reaches the transient
    // (less a margin): when does the first get there? (In samples from now.)
    const double edge = static_cast<double>(at - lead_);
    std::int64_t reach = read - (written_ + 1);
    for (const Grain& g : grains_) {
        if (!g.active) continue;
        reach = std::min(reach, static_cast<std::int64_t>(std::floor((edge - (g.position - g.lag)) / r)));
    }
    // The transient's grain starts reading r times as far before the
    // transient as it starts before reading it: not so far back that it
    // would read the previous transient's attack again, if it can wait.
    const std::int64_t untilRead = read - (written_ + 1);
    const auto earliest =
        untilRead - static_cast<std::int64_t>(std::floor(static_cast<double>(at - lowestStart_) / r));
    int fade = fadeLength_;
    std::int64_t start = std::min<std::int64_t>(untilGrain_, reach - fade);
    if (start < earliest) {
        // Later then, after the next regular grain has started, if that
        // grain (placed at the latest the search allows) does not reach the
        // transient before the crossfade is over either.
        const double regular =
            static_cast<double>(written_ + untilGrain_) - nominalDelay_ - (r - 1.0) * hop_ - search_;
        const auto regularReach = untilGrain_ + static_cast<std::int64_t>(std::floor((edge - regular) / r));
        if (earliest <= std::min(reach, regularReach) - fade) start = earliest;
    }
    // While the previous transient's grain runs, a new one takes over only
    // where it can cleanly: in a full crossfade, without reading the
    // previous attack again.
    if (transientState_ == 2 && (start < 0 || start < earliest)) return;
    if (start < 0) {
        start = 0;
        fade = static_cast<int>(
            std::max<std::int64_t>(shortestFade_, std::min<std::int64_t>(reach, fadeLength_)));
    } else if (r < 1.0) {
        // Going down, the running grains lag and reach the transient late:
        // a longer crossfade where they leave the room, over before the
        // transient's grain reaches its attack.
        const std::int64_t room = std::min(reach, untilRead - lead_) - start;
        fade = static_cast<int>(std::max<std::int64_t>(fade, std::min<std::int64_t>(room, longestFade_)));
    }
    // Its grain holds for a while after it, but going up must end (after
    // the crossfade out) behind the newest input.
    int hold = holdAfter_;
    if (r > 1.0) {
        constexpr int margin = kTaps / 2 + 2;
        hold =
            std::min(hold, static_cast<int>(std::floor((nominalDelay_ - margin) / (r - 1.0))) - fadeLength_);
    }
    transientHold_ = std::max(0, hold);
    transientAt_ = at;
    transientRead_ = read;
    transientFade_ = fade;
    transientState_ = 1;
    transientStart_ = written_ + 1 + start;
    untilGrain_ = static_cast<int>(std::min<std::int64_t>(untilGrain_, start));
}

void PitchShifter::advanceTransientGrains(float ratio) noexcept {
    const int life = 2 * hop_;
    bool plain = transientState_ != 2;
    for (Grain& g : grains_) {
        if (!g.active) continue;
        g.position += ratio;
        if (g.hold > 0) {
            --g.hold;
        } else if (++g.age >= life) {
            g.active = false;
        }
        if (g.fadeLeft > 0) {
            if (--g.fadeLeft == 0) {
                g.fade = g.fadeStep > 0.0f ? 1.0f : 0.0f;
                if (g.fadeStep < 0.0f) g.active = false;
            } else {
                g.fade += g.fadeStep;
            }
        }
        plain = plain && (!g.active || (g.hold == 0 && g.fadeLeft == 0));
    }
    if (!plain) return;
    // Every grain is a usual one again: back to the first two slots.
    Grain& last = grains_[kGrains - 1];
    if (last.active) {
        if (grains_[0].active && grains_[1].active) return;
        const int free = grains_[0].active ? 1 : 0;
        grains_[free] = last;
        last.active = false;
        if (newest_ == kGrains - 1) newest_ = free;
        if (fadingIn_ == kGrains - 1) fadingIn_ = free;
    }
    transientGrains_ = false;
}

}  // namespace vcmd
