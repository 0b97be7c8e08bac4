// Limiter.h - the output stage every voice ends in: a look-ahead limiter
// that keeps the true peak (the peak between samples too) at or below
// kCeilingDb.
//
// It aims 0.1 dB under the ceiling, which covers the error of its estimate
// against the BS.1770 true-peak meter (4x oversampling with a longer
// interpolator).
//
// Detection: every sample and three points between it and the next are
// estimated by a 4x oversampling interpolator (Kaiser-windowed sinc, 8 taps
// a phase, 4 samples late). The gain each point allows (ceiling / peak) is
// held as a sliding minimum over the look-ahead, recovers towards 1 with an
// exponential release, and is averaged over the look-ahead again. Because
// every gain the average takes in is at most what the sample now leaving
// the delay allows, the gain applied never exceeds it: no overshoot, and the
// reduction starts smoothly one look-ahead before the peak (a linear ramp
// over 1 ms) instead of jumping.
//
// The audio is delayed by latencyFrames() = 4 + look-ahead - 1 frames,
// about 1.1 ms at any rate. While nothing needs reducing the output is the
// delayed input unchanged (bit for bit), and silence stays exact silence.
// Both channels get the same gain. The output depends only on the input,
// never on how it was cut into blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Piece.h"

namespace vcmd {

class Limiter {
public:
    static constexpr float kCeilingDb = -1.0f;
    static constexpr int kMaxChannels = vcmd::kMaxChannels;
    static constexpr int kMaxFrames = kPieceFrames;  // per process() call

    // [control-thread] Sizes every buffer for `sampleRate`; the only call
    // that allocates.
    void configure(double sampleRate);
    // [audio-thread] Forgets all history; allocates nothing.
    void reset() noexcept;
    // [audio-thread] Limits `frames` (<= kMaxFrames) frames in place.
    void process(float* const* io, int channels, int frames) noexcept;

    std::uint32_t latencyFrames() const noexcept { return static_cast<std::uint32_t>(kDetectorDelay + lookahead_ - 1); }

private:
    static constexpr int kTaps = 8;            // interpolator taps per phase
    static constexpr int kDetectorDelay = kTaps / 2;
    static constexpr int kPhases = 3;          // points between two samples

    void detect(float* const* io, int channels, int frames) noexcept;

    float ceiling_ = 0.88f;  // the level aimed at, linear
    float bound_ = 1.0f;   // largest interpolator gain: |any point| <= bound_ * peak sample
    float release_ = 0.999f;
    int lookahead_ = 48;
    int delay_ = 51;
    float phase_[kPhases][kTaps] = {};
    // Per channel: the last kTaps - 1 inputs, then the piece (detector);
    // the last delay_ inputs, then the piece (audio delay).
    std::vector<float> history_[kMaxChannels];
    std::vector<float> delayed_[kMaxChannels];
    std::vector<float> allowed_;  // per frame of the piece: gain the peaks allow
    float previousPeak_ = 0.0f;

    // Sliding minimum over the look-ahead: a ring of (frame, gain) pairs
    // with increasing gains.
    std::vector<std::int64_t> minFrame_;
    std::vector<float> minGain_;
    int minHead_ = 0, minCount_ = 0;
    // Average over the look-ahead of the released gain.
    std::vector<float> boxRing_;
    int boxAt_ = 0;
    double boxSum_ = 0.0;
    float released_ = 1.0f;
    int unitRun_ = 0;  // frames in a row the released gain has been exactly 1
    std::int64_t frame_ = 0;
};

}  // namespace vcmd
