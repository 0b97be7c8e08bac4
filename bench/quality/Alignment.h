// Alignment.h - lining a shifter's output up with its input where the
// delay the shifter states is not where its output lies: by the lag at
// which the output's pitch contour best follows the input's, moved by the
// pitch ratio. (Energy envelopes would not do: a shifter that smears
// onsets moves them by more than it moves the voice's pitch.)
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// How many samples an output lags its input by, within ±`maxSeconds` in
// 0.5 ms steps, from their F0 tracks (PitchTrack.h) at `rate`: the lag at
// which |cents(output F0 / (input F0 × pitchRatio))|, capped at 100 cents
// so that octave errors weigh no more than a miss, is least on average
// over the frames voiced in both. The output's F0 between its frames is
// interpolated on the log scale. 0 when no frame is voiced in both.
std::ptrdiff_t pitchContourLag(const std::vector<double>& inputF0, const std::vector<double>& outputF0,
                               double pitchRatio, double rate, double maxSeconds);

// `signal` moved `lag` samples earlier (later when negative), zeros where
// nothing is left, its length kept.
std::vector<float> advanced(const std::vector<float>& signal, std::ptrdiff_t lag);

}  // namespace quality
