// FormantShifter.cpp - see FormantShifter.h.
#include "pitch/FormantShifter.h"

#include <algorithm>

namespace vcmd {
namespace {

// From this rate up the correction runs on the lower half band.
constexpr double kSplitFromRate = 32000.0;
// Low-rate samples after which the interpolator holds only zeros.
constexpr int kInterpolatorSpan = 2 * HalfBand::kPairs;

}  // namespace

void FormantShifter::configure(double sampleRate, int delayFrames) {
    split_ = sampleRate >= kSplitFromRate;
    if (split_) {
        HalfBand taps;
        taps.design();
        input_.configure(taps);
        for (int c = 0; c < kMaxChannels; ++c) {
            output_[c].configure(taps);
            change_[c].configure(taps);
        }
        // Both decimators delay alike, so at the low rate the shifter's
        // output still plays the input half its delay back.
        core_.configure(sampleRate / 2.0, delayFrames / 2, true, HalfBand::kDelay);
    } else {
        core_.configure(sampleRate, delayFrames);
    }
    reset();
}

void FormantShifter::reset() noexcept {
    core_.reset();
    input_.reset();
    for (int c = 0; c < kMaxChannels; ++c) {
        output_[c].reset();
        change_[c].reset();
        second_[c] = 0.0f;
    }
    zerosPushed_ = kInterpolatorSpan;
}

void FormantShifter::hear(const float* const* input, int channels, int frames) noexcept {
    if (!split_) {
        core_.hear(input, channels, frames);
        return;
    }
    for (int done = 0; done < frames; done += kPiece) {
        const int n = std::min(kPiece, frames - done);
        const float* in = input[0] + done;
        if (channels > 1) {
            for (int i = 0; i < n; ++i) heardFull_[i] = 0.5f * (input[0][done + i] + input[1][done + i]);
            in = heardFull_;
        }
        const int m = input_.process(in, n, heardLow_, nullptr);
        const float* lows[1] = {heardLow_};
        core_.hear(lows, 1, m);
        core_.hearFullRate(in, n);
    }
}

void FormantShifter::process(float* const* io, int channels, int frames) noexcept {
    if (!split_) {
        core_.process(io, channels, frames);
        return;
    }
    for (int done = 0; done < frames; done += kPiece) {
        float* part[kMaxChannels] = {io[0] + done, channels > 1 ? io[1] + done : nullptr};
        processPiece(part, channels, std::min(kPiece, frames - done));
    }
}

void FormantShifter::processPiece(float* const* io, int channels, int frames) noexcept {
    // Down to the low rate; the full band goes out delayed now, and the
    // corrector's change, if any, is added to it below.
    const int start = output_[0].pairStarts() ? 0 : 1;  // the first frame of a pair
    float* lows[kMaxChannels] = {low_[0], low_[1]};
    int m = 0;
    if (!core_.engaged() && zerosPushed_ >= kInterpolatorSpan) {
        // Nothing to correct and nothing left of a change: the corrector
        // only counts the frames, and needs no low band for that (once it
        // engages it starts its filters afresh, on the low band from then).
        for (int c = 0; c < channels; ++c) m = output_[c].process(io[c], frames, nullptr, io[c]);
        core_.process(lows, channels, m);
        for (int c = 0; c < channels; ++c) second_[c] = 0.0f;
        return;
    }
    for (int c = 0; c < channels; ++c) m = output_[c].process(io[c], frames, low_[c], io[c]);
    for (int c = 0; c < channels; ++c) std::copy(low_[c], low_[c] + m, lowBefore_[c]);
    core_.process(lows, channels, m);

    // The change, back up to the full rate: two frames for each low-rate
    // sample, the second of which may be the next call's first frame.
    for (int c = 0; c < channels; ++c) {
        float* change = lowBefore_[c];
        for (int k = 0; k < m; ++k) change[k] = low_[c][k] - change[k];
        float first[HalfBandInterpolator::kMaxSamples], second[HalfBandInterpolator::kMaxSamples];
        change_[c].process(change, m, first, second);
        if (start == 1) io[c][0] += second_[c];
        for (int k = 0; k < m; ++k) {
            const int i = start + 2 * k;
            io[c][i] += first[k];
            if (i + 1 < frames) io[c][i + 1] += second[k];
            else second_[c] = second[k];
        }
    }
    for (int k = 0; k < m; ++k) {
        bool zero = true;
        for (int c = 0; c < channels; ++c) zero = zero && lowBefore_[c][k] == 0.0f;  // the change
        zerosPushed_ = zero ? std::min(zerosPushed_ + 1, kInterpolatorSpan) : 0;
    }
}

}  // namespace vcmd
