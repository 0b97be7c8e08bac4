// Reverb.h - a room for the voice: separate early reflections, then a
// dense, diffuse late tail.
//
//   input (mono mix) -> 4 series all-passes (diffusion) -> pre-delay -> late
//                   \-> tapped delay line: 8 early reflections per channel
//
// The late tail is a feedback delay network: 8 delay lines of mutually
// prime lengths, 45 to 160 ms (about 0.7 s in all, so about 0.7 resonances
// per hertz), mixed after each pass by an 8 x 8 Hadamard matrix, so every
// line feeds every other and the echo density grows fast. Each line has a
// one-pole low-pass in its loop (damping) and a gain that gives the set
// reverberation time. Each line's length sways by up to +-0.5 ms at its own
// slow rate (0.3 to 1.1 Hz), so the resonances keep moving and smear into
// a diffuse spectrum instead of ringing as steady lines. Two rows of the
// Hadamard mix (orthogonal sign patterns over all lines) are the left and
// right outputs: one network, two decorrelated outputs.
//
// Reverberation time (RT60, at 1 kHz) from `size`: 0.2 s * 30^size, so
// 0.2 s at 0, 3.0 s at 0.8, 5.4 s at 0.97, 6 s at 1.
//
// Cost: the sway is recomputed every 16 samples (counted from reset), the
// lines share one write position, and the outputs come from the Hadamard
// mix that is computed anyway (fewer, longer lines were as diffuse by the
// measure in bench/quality and cost half as much as 16 short ones).
#pragma once

#include <cstddef>
#include <vector>

#include "dsp/Dsp.h"

namespace vcmd {

class Reverb {
public:
    static constexpr int kLines = 8;
    static constexpr int kEarlyTaps = 8;
    static constexpr int kDiffusers = 4;

    // [control-thread] Sizes every line for `sampleRate`; the only call
    // that allocates.
    void configure(double sampleRate);
    // [audio-thread] Forgets all history; allocates nothing.
    void reset() noexcept;

    // [audio-thread] Sets the decay for `size` (0..1) and the high-frequency loss per pass
    // for `damping` (0..1). Cheap enough to call every few samples.
    void setDecay(float size, float damping) noexcept;

    // [audio-thread] One frame: `in` is the mono input; writes the wet left and right.
    void process(float in, float& left, float& right) noexcept;

    static double reverberationSeconds(float size) noexcept;

private:
    double sampleRate_ = 48000.0;
    DelayLine diffuser_[kDiffusers];
    std::size_t diffuserLength_[kDiffusers] = {};
    DelayLine early_;  // also the pre-delay
    std::size_t earlyTap_[2][kEarlyTaps] = {};
    std::size_t preDelay_ = 0;
    // The late lines, each lineSize_ (a power of two) long, one after the
    // other; all written at the same position.
    std::vector<float> lines_;
    std::size_t lineSize_ = 0;
    std::size_t write_ = 0;
    float length_[kLines] = {};
    std::size_t whole_[kLines] = {};  // current delay: whole samples ...
    float fraction_[kLines] = {};     // ... and the fraction beyond
    unsigned untilSway_ = 0;
    float gain_[kLines] = {};
    float lowpass_[kLines] = {};
    float damping_ = 0.2f;
    float lateGain_ = 0.5f;
    float depth_ = 12.0f;
    Oscillator sway_[kLines / 4];
};

}  // namespace vcmd
