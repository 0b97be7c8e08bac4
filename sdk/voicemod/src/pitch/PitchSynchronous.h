// PitchSynchronous.h - the pitch stage's pitch-synchronous synthesis: where
// the voice is voiced, one grain per output period, cut from the input
// around a glottal closure the pitch tracker marked and laid at the target
// period; elsewhere the grain shifter and formant stage's output passes.
//
// A grain carries one period of the voice: from a rise before its source
// (0.3 of the output period, at most 3 ms) to where the next period starts,
// so it holds one pulse and its formants' ringing. Its sources are a chain
// of the input's periods: a voiced stretch starts on a tracker mark whose
// two intervals before it agree with its period, and each next source lies
// one period on, the period measured by matching the waveform with itself
// one period earlier (leaning a tenth of the way to the nearest mark, so
// the chain keeps to the pulses), which the marks' own scatter could not
// give. A grain is read at the formant ratio (formants move by that ratio,
// the pulse's shape with them), from a low-passed copy of the input when
// that ratio is above 1 so that nothing folds back. Output marks lie one
// target period apart (the source's period over the pitch ratio); each
// takes the source nearest in time, so grains are repeated or skipped to
// keep time and nothing is stretched; at no pitch shift they keep in step
// with the sources, so the voice comes back as it went in. A grain ends
// where the next output grain rises, or where its input period ends if
// that comes first (the pitch down further than the formants): the rest of
// a longer output period stays silent. A stretch ends where the tracker
// has no final mark near the next output mark, or where the period jumps
// by a third (against the last one or the tracker's), and the other path
// comes back.
//
// The grains' rises and falls are complementary (sine and cosine squared),
// so the grains add up to the voice where they tile. The same envelope,
// always tiling, weighs the other path out where the grains come in: at a
// voicing change the two cross over within one rise, with no level step.
//
// Delay: the stage runs `delayFrames` behind its input (the grain path's
// own latency, so the two line up). A grain is laid when the output
// reaches its rise before its mark, and reads only input that has
// arrived by then and marks that were final by then; for a period P read at
// formant ratio a, that needs P + 3 ms + a few samples of the delay, so at
// 17 ms a voice down to about 75 Hz fits whole, and a lower one has its
// grains cut short (the tail of its period's ringing).
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Dsp.h"
#include "dsp/Elliptic.h"
#include "dsp/Piece.h"
#include "pitch/PitchTracker.h"

namespace vcmd {

class PitchSynchronous {
public:
    static constexpr int kMaxChannels = vcmd::kMaxChannels;

    // [control-thread] Sizes every buffer for `sampleRate`, running
    // `delayFrames` behind the input. The only call that allocates.
    void configure(double sampleRate, int delayFrames);
    // [audio-thread] Forgets all input. Never blocks or allocates.
    void reset() noexcept;

    // [audio-thread] Pitch and formant shifts in semitones (clamped to
    // [-12, 12]); set* glide, jump* take effect at once. Never block or
    // allocate.
    void setPitch(float semitones) noexcept { pitch_.setTarget(clampShift(semitones)); }
    void jumpPitch(float semitones) noexcept { pitch_.jump(clampShift(semitones)); }
    void setFormant(float semitones) noexcept { formant_.setTarget(clampShift(semitones)); }
    void jumpFormant(float semitones) noexcept { formant_.jump(clampShift(semitones)); }

    // [audio-thread] The input of the next `frames` frames (at most
    // kPieceFrames), before the other path has seen it; must precede
    // process() for the same frames. Never blocks or allocates.
    void hear(const float* const* input, int channels, int frames) noexcept;
    // [audio-thread] The other path's output for the same frames, in place:
    // the voiced parts replaced. Never blocks or allocates.
    void process(float* const* io, int channels, int frames) noexcept;

    // [any thread] The tracker it marks the periods with.
    const PitchTracker& tracker() const noexcept { return tracker_; }

private:
    static float clampShift(float s) noexcept { return s < -12.0f ? -12.0f : (s > 12.0f ? 12.0f : s); }
    // Lays the grain of the next output mark, or ends the voiced stretch;
    // `now` is the input sample count the output sample being made stands at.
    void layGrain(std::int64_t now) noexcept;
    // The input mark (its count since reset) nearest `target` among those
    // final by `now`; -1 when there is none within a period.
    std::int64_t nearestMark(double target, std::int64_t now) const noexcept;
    // The period input mark `k` starts, in input samples.
    float periodAt(std::int64_t k, std::int64_t now) const noexcept;
    float read(const std::vector<float>& line, double position) const noexcept;
    // Whether input mark `k` may start a voiced stretch.
    bool steadyBefore(std::int64_t k) const noexcept;
    // The period that starts at input mark `mark`, measured by the waveform
    // near `guess` (the marks' spacing); `guess` where the waveform says
    // nothing.
    float measurePeriod(double mark, float guess, std::int64_t now) const noexcept;
    // Ends a voiced stretch: the other path comes back in.
    void endStretch() noexcept;
    void designPrefilter(float ratio) noexcept;

    // Configuration.
    double sampleRate_ = 48000.0;
    int delay_ = 0;
    int rise_ = 144;         // the longest rise, in samples
    int shortestRise_ = 48;  // ... and the shortest
    int periodReach_ = 29;
    static constexpr int kMostPeriodReach = 120;  // samples: 0.6 ms at 192 kHz is 115
    std::size_t mask_ = 0, outMask_ = 0;
    std::vector<float> kernel_;

    // Written on the audio thread.
    PitchTracker tracker_;
    Ramp pitch_, formant_;
    std::vector<float> lines_[kMaxChannels];     // the input, mirrored
    std::vector<float> filtered_[kMaxChannels];  // low-passed for formants moved up, mirrored
    std::vector<float> grains_[kMaxChannels];    // the grains laid, by output position (input time)
    std::vector<float> cover_;                   // how much of each output sample the grains own
    static constexpr int kMarks = 64;
    static constexpr int kSpan = 3;  // intervals a grain's period is the mean of
    PitchMark marks_[kMarks];
    std::int64_t markCount_ = 0;
    std::int64_t heard_ = 0;       // input samples heard
    std::int64_t made_ = 0;        // output samples made
    bool voiced_ = false;
    double nextOut_ = 0.0;         // the next output mark, in input time
    double lastSource_ = -1.0;     // the input mark of the last grain
    double chainAt_ = -1.0;        // the input period the grains are read from (-1: none yet)
    float chainPeriod_ = 0.0f;     // ... and its length
    double overlap_ = 48.0;        // the next grain's rise: the last one's fall
    float channelsHeard_ = 1;
    static constexpr int kPrefilterSections = 3;
    EllipticPrototype prefilterDesign_{6, 0.1, 72.0};
    BiquadCoefficients prefilter_[kPrefilterSections];
    BiquadState prefilterState_[kMaxChannels][kPrefilterSections];
    double prefilterLag_ = 0.0;
    float designedRatio_ = 0.0f;
    float mono_[kPieceFrames] = {};
};

}  // namespace vcmd
