// PitchMarks.cpp - the pitch tracker's marks (the method is described in
// PitchTracker.cpp): the chain's first mark on the strongest spike of the
// prediction residual in the last period, each next one near where the
// waveform matches the period before, moved onto the spike there.
#include <algorithm>
#include <cmath>

#include "pitch/FormantKernels.h"
#include "pitch/PitchTracker.h"
#include "pitch/ShifterMath.h"

namespace vcmd {
namespace {

constexpr double kMarkReachShare = 0.15;  // of the period, at most markReach_
constexpr float kMarkMatch = 0.5f;        // a match under it ends the chain

}  // namespace

std::int64_t PitchTracker::excitation(std::int64_t first, std::int64_t last, float& strength) const noexcept {
    // The residual's largest spike among the low-rate samples that stand
    // for full-rate times in [first, last), placed between samples by a
    // parabola through its energy and its neighbours'. Low-rate sample k
    // stands for full-rate time (k + 1) factor - 1 - the decimator's delay.
    const auto timeOf = [&](std::int64_t k) { return (k + 1) * factor_ - 1 - firDelay_; };
    std::int64_t k0 = (first + firDelay_ + 1) / factor_ - 1;
    while (timeOf(k0) < first) ++k0;
    const std::int64_t newestLow = lowWritten_ - 2;  // its right neighbour must be in
    const std::size_t mask = lowSize_ - 1;
    const auto energy = [&](std::int64_t k) {
        const float v = residual_[static_cast<std::size_t>(k) & mask];
        return v * v;
    };
    strength = -1.0f;
    std::int64_t best = k0;
    for (std::int64_t k = k0; timeOf(k) < last && k <= newestLow; ++k) {
        const float v = energy(k);
        if (v > strength) strength = v, best = k;
    }
    if (strength <= 0.0f) return first;
    float offset = 0.0f, value = strength;
    shifter::parabola(energy(best - 1), strength, energy(best + 1), offset, value);
    return static_cast<std::int64_t>(std::lround(timeOf(best) + offset * factor_));
}

void PitchTracker::anchorMark() noexcept {
    if (period_ <= 0.0f) return;
    // The main excitation of the last period.
    const std::int64_t last = written_ - markAfter_;
    std::int64_t first = std::max<std::int64_t>(last - static_cast<std::int64_t>(period_), markBefore_);
    // Marks only go forwards: after a broken chain, no nearer than a
    // quarter of a period to the last one.
    if (lastMark_ > 0.0) first = std::max(first, static_cast<std::int64_t>(std::ceil(lastMark_ + 0.25 * period_)));
    if (first >= last) return;
    float strength = 0.0f;
    const std::int64_t at = excitation(first, last, strength);
    if (strength <= 0.0f) return;
    marking_ = true;
    lastMark_ = static_cast<double>(at);
    // Found too late to be handed out, it still leads the chain.
    if (written_ - at <= markDelay_) marks_.push(PitchMark{lastMark_, period_});
    scheduleMark();
}

double PitchTracker::markReach() const noexcept {
    return std::max(1.0, std::min(static_cast<double>(markReach_), kMarkReachShare * period_));
}

void PitchTracker::scheduleMark() noexcept {
    markDue_ = static_cast<std::int64_t>(std::floor(lastMark_ + period_ + markReach())) + markAfter_ + 1;
}

float PitchTracker::matchAround(const float* reference, float referenceEnergy, std::int64_t at) const noexcept {
    const int length = markBefore_ + markAfter_;
    const float* y = &full_[static_cast<std::size_t>(at - markBefore_) & fullMask_];
    const float norm = std::sqrt(referenceEnergy * kernels_->correlate(y, y, length));
    return norm > 1e-20f ? kernels_->correlate(reference, y, length) / norm : 0.0f;
}

void PitchTracker::nextMark() noexcept {
    const double predicted = lastMark_ + period_;
    const double reach = markReach();
    const std::int64_t lowest = static_cast<std::int64_t>(std::ceil(predicted - reach));
    const std::int64_t highest = std::min<std::int64_t>(static_cast<std::int64_t>(std::floor(predicted + reach)),
                                                        written_ - markAfter_);
    if (highest < lowest) {
        marking_ = false;
        return;
    }
    const int length = markBefore_ + markAfter_;
    const float* reference =
        &full_[static_cast<std::size_t>(std::lround(lastMark_) - markBefore_) & fullMask_];
    const float referenceEnergy = kernels_->correlate(reference, reference, length);
    // Slightly in favour of one period on, so that an equal match a cycle
    // of a formant away does not pull the chain off its point.
    const auto score = [&](std::int64_t c) {
        const double d = (static_cast<double>(c) - predicted) / reach;
        return matchAround(reference, referenceEnergy, c) - static_cast<float>(0.05 * d * d);
    };
    // Every low-rate sample's worth: the excitation search below has the
    // last word on where in that step the mark lies.
    const int stride = std::max(1, factor_);
    std::int64_t best = lowest;
    float bestScore = -2.0f;
    for (std::int64_t c = lowest; c <= highest; c += stride) {
        const float s = score(c);
        if (s > bestScore) bestScore = s, best = c;
    }
    if (bestScore < kMarkMatch) {
        marking_ = false;
        return;
    }
    // The waveform found the period; the excitation in it, the mark.
    const std::int64_t radius =
        std::max<std::int64_t>(1, std::min<std::int64_t>(markRelock_, std::lround(0.25 * period_)));
    float strength = 0.0f;
    const double at = static_cast<double>(
        excitation(std::max(best - radius, static_cast<std::int64_t>(std::floor(lastMark_)) + 1),
                   std::min(best + radius + 1, written_ - markAfter_ + 1), strength));
    const float interval = static_cast<float>(at - lastMark_);
    recentPeriod_ = recentPeriod_ > 0.0f ? 0.5f * (recentPeriod_ + interval) : interval;
    lastMark_ = at;
    // One found later than promised (the period changed under its search)
    // still leads the chain.
    if (static_cast<double>(written_) - at <= markDelay_) marks_.push(PitchMark{at, period_});
    scheduleMark();
}

}  // namespace vcmd
