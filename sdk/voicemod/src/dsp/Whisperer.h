// Whisperer.h - turns voiced speech into a whisper that keeps the words.
//
// A whisper is speech without voicing: the vocal tract still shapes the
// sound (its formants carry the vowels), but breath noise replaces the
// buzz of the vocal folds. So the voice's short-time spectrum is kept and
// its phase, which carries the pitch, is thrown away:
//
//   1. every half frame the last frame of input (about 10 ms: 512 samples
//      at 44.1/48 kHz, 64 at 8 kHz) is taken under a sine window and
//      transformed (both channels in one complex FFT, left real, right
//      imaginary);
//   2. each bin keeps its magnitude and gets a random phase, new in every
//      frame;
//   3. the inverse transform goes out under the same sine window,
//      overlap-added: frames of unrelated phase add in power, and the sine
//      window squared sums to one at half-frame steps, so the level holds.
//
// Frames this short resolve the formants but hardly the pitch, and every
// frame's spectrum is the voice's own, so the band envelopes (what makes
// words intelligible) follow the voice closely; plain noise under an
// envelope would add its own random fluctuation. The latency is one frame.
// Silence in gives silence out.
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Dsp.h"
#include "dsp/Piece.h"

namespace vcmd {

class Whisperer {
public:
    static constexpr int kMaxChannels = vcmd::kMaxChannels;

    // [control-thread] Sizes every buffer for `sampleRate`; the only call
    // that allocates.
    void configure(double sampleRate, std::uint64_t seed);
    // [audio-thread] Forgets all history and starts the noise over.
    void reset() noexcept;
    // [audio-thread] Replaces `frames` frames of `channels` channels in place by their
    // whisper, `latencyFrames()` later.
    void process(float* const* io, int channels, int frames) noexcept;

    std::uint32_t latencyFrames() const noexcept { return static_cast<std::uint32_t>(size_); }

private:
    void transform(bool inverse) noexcept;
    void whisperFrame(int channels) noexcept;

    int size_ = 512;
    int hop_ = 256;
    int bits_ = 9;
    int filled_ = 0;  // input samples since the last frame
    int ready_ = 0;   // next finished output sample to hand out
    std::uint64_t seed_ = 0;
    Noise noise_;

    std::vector<float> window_;            // sine window, size_
    // Twiddles e^(-2 pi i k / (2 h)), k < h, for each stage's half-size h
    // in turn (h = 1, 2, 4, ...): size_ - 1 of them, contiguous per stage.
    std::vector<float> twiddleRe_, twiddleIm_;
    std::vector<std::uint32_t> reversed_;  // bit-reversed index, size_
    std::vector<float> re_, im_;           // FFT work area, size_ each
    std::vector<float> phaseRe_, phaseIm_;  // random unit phasors to pick from
    std::vector<float> input_[kMaxChannels];     // the last frame of input
    std::vector<float> sum_[kMaxChannels];       // overlap-add of the output frames
    std::vector<float> out_[kMaxChannels];       // finished output, hop_ samples
};

}  // namespace vcmd
