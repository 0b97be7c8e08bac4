// HalfBand.h - halving and doubling the sample rate with one linear-phase
// half-band filter (47 taps, Kaiser window): flat within 0.1 dB up to 0.40
// of the low rate, about 70 dB down from 0.60 of it (9.7 and 14.4 kHz at
// 48 kHz). Every other tap but the centre is zero, so the decimator takes 12
// products per low-rate sample and the interpolator 12 per pair of outputs.
//
// Each delays by kDelay samples of the high rate: a decimation followed by
// an interpolation gives the input's lower half band kLatency samples late.
#pragma once

#include "dsp/Piece.h"

namespace vcmd {

struct HalfBand {
    static constexpr int kTaps = 47;
    static constexpr int kDelay = (kTaps - 1) / 2;
    static constexpr int kLatency = 2 * kDelay;
    static constexpr int kPairs = (kTaps + 1) / 4;  // nonzero taps either side of the centre
    // side[j] is the tap 2j + 1 away from the centre (either side); the
    // centre tap is 1/2, and the side taps of both sides add up to 1/2.
    float side[kPairs] = {};

    // [control-thread] Computes the taps. Never blocks or allocates.
    void design() noexcept;
};

// Halves the rate of a stream given in blocks: a low-rate sample for every
// second frame (the first after reset included). Works on whole blocks, so
// that no sum waits on the sample stored just before it.
class HalfBandDecimator {
public:
    static constexpr int kMaxFrames = kPieceFrames;  // per call

    // [control-thread] Never blocks or allocates.
    void configure(const HalfBand& taps) noexcept;
    // [audio-thread] Forgets the history. Never blocks or allocates.
    void reset() noexcept;
    // [audio-thread] Whether the next frame is the first of a pair (one that
    // gives a low-rate sample).
    bool pairStarts() const noexcept { return !odd_; }
    // [audio-thread] Takes `frames` (at most kMaxFrames) samples; writes the
    // low-rate samples to `low` (those for frames that start a pair, each
    // standing for the time kDelay frames before its frame) and returns how
    // many; with `low` null, only counts them (the history still moves on).
    // When `delayed` is not null, it gets the input kLatency frames late
    // (the high band's delay through a decimation and interpolation); it
    // may be `in` itself. Never blocks or allocates.
    int process(const float* in, int frames, float* low, float* delayed) noexcept;

private:
    static constexpr int kKeep = HalfBand::kTaps - 1;  // history before the block
    HalfBand taps_;
    float buffer_[kKeep + kMaxFrames] = {};  // the last kKeep samples, then the block
    bool odd_ = false;  // the next frame is the second of a pair
};

// Doubles the rate again: each low-rate sample gives two high-rate ones,
// kDelay frames of the high rate behind it.
class HalfBandInterpolator {
public:
    static constexpr int kMaxSamples = HalfBandDecimator::kMaxFrames / 2 + 1;  // per call

    // [control-thread] Never blocks or allocates.
    void configure(const HalfBand& taps) noexcept;
    // [audio-thread] Forgets the history. Never blocks or allocates.
    void reset() noexcept;
    // [audio-thread] Takes `count` (at most kMaxSamples) low-rate samples;
    // the two high-rate samples that follow each go to first[i] and
    // second[i]. Never blocks or allocates.
    void process(const float* low, int count, float* first, float* second) noexcept;

private:
    static constexpr int kKeep = 2 * HalfBand::kPairs - 1;  // history before the block
    float taps_[2 * HalfBand::kPairs] = {};  // weights of d[m - 2 kPairs + 1] ... d[m], doubled
    float buffer_[kKeep + kMaxSamples] = {};
};

}  // namespace vcmd
