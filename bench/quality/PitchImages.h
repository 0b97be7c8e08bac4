// PitchImages.h - the images the pitch shifter leaves of a pure tone.
#pragma once

#include <vector>

namespace quality {

std::vector<float> sineWave(double frequency, double rate, double seconds, double amplitude);

// Where a tone at `f` read `ratio` times as fast can leave images: every
// spectral copy k * rate +- f (|k| <= 2) of the sampled input, scaled by
// the ratio and folded back into [0, rate / 2]; the shifted tone itself
// counts when it lies above half the rate. Frequencies within 100 Hz of
// the shifted tone are left out.
std::vector<double> imageFrequencies(double f, double ratio, double rate);

// The strongest image of a sine at `f` (amplitude 0.5, 1 s) through the
// pitch shifter alone, in dB against the sine; the last 0.34 to 0.37 s of
// the output under a Blackman-Harris window, the peak within 30 Hz of each
// image frequency.
double imageLevel(double f, double rate, float semitones, bool highQuality);

// The strongest image in `output`, a render of a sine at `f` shifted by
// frequency ratio `ratio` (a whole voice, or the shifter with its formant
// stage), in dB against the shifted sine's own level in the output: the
// same stretch at the output's end, window and peak search as imageLevel.
double imageBelowTone(const std::vector<float>& output, double f, double ratio, double rate);

}  // namespace quality
