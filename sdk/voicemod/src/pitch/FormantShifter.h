// FormantShifter.h - the pitch effect's formant stage: moves the spectral
// envelope of the pitch shifter's output independently of its pitch.
//
// The envelope correction itself (analysis and filters) is the
// EnvelopeCorrector's. At 32 kHz and above this stage runs it on the lower
// half of the band only, at half the rate, where speech has its formants:
//
//   shifter output x ──┬── half-band decimator ── y ── EnvelopeCorrector ── c
//                      │                                                    │
//                      │              half-band interpolator ── (c - y) ───┘
//                      │                         │
//                      └── delay (kLatency) ───  + ──> output
//
// The input is decimated likewise for the corrector's analysis (and kept at
// the full rate too, for reads slower than the input). Only the
// change the corrector makes goes through the interpolator, so where it
// changes nothing (formants following the pitch) the output is the
// shifter's, delayed, bit for bit; above about 10 kHz (at 48 kHz) the
// shifter's own output passes unchanged. At half the rate the models need
// half the order, and the analysis and filters a quarter of the work; the
// price is the pair of half-band filters' latency, HalfBand::kLatency
// frames (0.96 ms at 48 kHz), which every pitch voice carries. Below 32 kHz
// the corrector runs on the whole band and the stage adds no latency.
#pragma once

#include "pitch/EnvelopeCorrector.h"
#include "pitch/FormantKernels.h"
#include "pitch/HalfBand.h"
#include "dsp/Piece.h"

namespace vcmd {

class FormantShifter {
public:
    static constexpr int kMaxChannels = vcmd::kMaxChannels;

    // [control-thread] Sizes every buffer for `sampleRate`; `delayFrames` is the
    // pitch shifter's latency (where its output reads the input). The only
    // call that allocates.
    void configure(double sampleRate, int delayFrames);
    // [audio-thread] Forgets all history; allocates nothing.
    void reset() noexcept;

    // [audio-thread] The pitch shift and the formant shift, in semitones
    // (clamped to [-12, 12]); set* glide over the setting glide time like the
    // shifter's own setting, jump* take effect at once (configuration time).
    void setPitch(float semitones) noexcept { core_.setPitch(semitones); }
    void jumpPitch(float semitones) noexcept { core_.jumpPitch(semitones); }
    void setFormant(float semitones) noexcept { core_.setFormant(semitones); }
    void jumpFormant(float semitones) noexcept { core_.jumpFormant(semitones); }

    // [audio-thread] The input of the next `frames` frames, before the pitch
    // shifter has seen it. Must precede process() for the same frames.
    void hear(const float* const* input, int channels, int frames) noexcept;
    // [audio-thread] Corrects the shifter's output for the same frames in
    // place, latencyFrames() later. Allocates nothing, never blocks.
    void process(float* const* io, int channels, int frames) noexcept;

    // [any-thread] The frames by which the output lags the shifter's.
    int latencyFrames() const noexcept { return split_ ? HalfBand::kLatency : 0; }
    // [any-thread] The order of the corrector's models.
    int order() const noexcept { return core_.order(); }

    // [control-thread] Which build of the inner loops runs (configure picks the
    // widest the CPU has); for comparing them. Never blocks or allocates.
    void useKernels(const FormantKernels& kernels) noexcept { core_.useKernels(kernels); }
    const FormantKernels& kernels() const noexcept { return core_.kernels(); }

private:
    // The most frames handled in one go (the low-rate buffers hold half).
    static constexpr int kPiece = kPieceFrames;
    static constexpr int kLowPiece = kPiece / 2 + 1;
    static_assert(kPiece <= HalfBandDecimator::kMaxFrames && kLowPiece <= HalfBandInterpolator::kMaxSamples,
                  "a piece must fit the half-band filters' buffers");

    void processPiece(float* const* io, int channels, int frames) noexcept;

    // Set by configure.
    bool split_ = true;
    EnvelopeCorrector core_;

    // Written on the audio thread.
    HalfBandDecimator input_;                      // the mono input, for the analysis
    HalfBandDecimator output_[kMaxChannels];       // the shifter's output
    HalfBandInterpolator change_[kMaxChannels];    // the corrector's change, back to the full rate
    float second_[kMaxChannels] = {};  // the second output of the last pair, when its frame is still to come
    int zerosPushed_ = 0;              // the corrector's change has been zero this many low-rate samples
    float heardFull_[kPiece] = {};
    float heardLow_[kLowPiece] = {};
    float low_[kMaxChannels][kLowPiece] = {};
    float lowBefore_[kMaxChannels][kLowPiece] = {};
};

}  // namespace vcmd
