// OnsetDetector.h - the pitch shifter's transient detector: sudden rises of
// high-frequency energy in the coarse mono mix (about 11 kHz), judged frame by
// frame (about 1 ms each) against the frames before.
//
// A frame's coarse samples go through a fourth difference (a high-pass
// rising 24 dB per octave, which weighs 4 kHz some 20 dB above 1 kHz). A rise
// of 10 dB over the mean of the last 8 frames, no more than 40 dB under the
// loudest frame of the last seconds (a peak falling 10 dB per second), is an
// onset, unless a frame 3 to 14 frames back came within 3 dB of it: that is
// a glottal pulse of a low voice, which rises that much every period.
#pragma once

namespace vcmd {

class OnsetDetector {
public:
    static constexpr int kHistory = 14;      // frames kept: 14 ms
    static constexpr int kRecentFrames = 8;  // frames the rise is measured over

    // [control-thread] Frames of `frameLength` coarse samples at
    // `framesPerSecond`. Never blocks or allocates.
    void configure(int frameLength, double framesPerSecond) noexcept;
    // [audio-thread] Forgets every frame. Never blocks or allocates.
    void reset() noexcept;

    // [audio-thread] Takes the next frame: `coarse` points at its first
    // sample, with the four before it readable (the high-pass's history).
    // Returns whether it is an onset; with `looking` false the frame only
    // moves the history on (an onset already waits for its grain). Never
    // blocks or allocates.
    bool frame(const float* coarse, bool looking) noexcept;

    int frameLength() const noexcept { return frame_; }

private:
    int frame_ = 12;
    float history_[kHistory] = {};
    int historyAt_ = 0;
    float loudest_ = 0.0f;         // decaying peak of the frame energies
    float loudestDecay_ = 0.999f;  // per frame
};

}  // namespace vcmd
