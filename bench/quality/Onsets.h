// Onsets.h - sudden rises of high-frequency energy (plosives, clicks,
// crackle), and those a voice adds that its input did not have.
//
// Bench code: allocates freely; not for the audio thread.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// Times (seconds) of the high-frequency onsets in `signal`: the signal
// above 3 kHz (two second-order Butterworth high-passes), its energy in
// 1 ms frames; an onset is a frame at least 15 dB above the mean of the
// 10 ms before it and no more than 50 dB below the loudest frame of the
// whole signal. Onsets closer than 10 ms to the previous one are the same
// event.
std::vector<double> highFrequencyOnsets(const std::vector<float>& signal, double sampleRate);

// Onsets of `output` with no onset of `input` within +-`toleranceSeconds`
// (after moving the output back by `latencyFrames`): the transients a
// voice made up (repeated or early plosives, clicks, crackle).
std::size_t countNewOnsets(const std::vector<float>& input, const std::vector<float>& output, double sampleRate,
                           std::size_t latencyFrames = 0, double toleranceSeconds = 0.005);

// A reference for a pitch shift by `ratio`: the onsets of the band of
// `input` that such a shift moves onto the measured one (from 3 kHz / ratio;
// going up, below 0.9 times the frequency it moves to half the rate), with
// none of `input`'s own within +-`toleranceSeconds`. A shift that kept the
// envelope of every band exactly would add these: onsets too weak in the
// input's high band that the shift brings into it, and the level floor
// drawn from another band's loudest frame. (It keeps the pitch pulses'
// rate: a low voice shifted down, its pulses further apart, shows more.)
std::size_t countMovedBandOnsets(const std::vector<float>& input, double sampleRate, double ratio,
                                 double toleranceSeconds = 0.005);

// Of those, the ones where the input's high band does not rise by even
// `weakRiseDb` (against its mean over the 10 ms before) within
// +-`toleranceSeconds`: no weaker onset of the input that a voice could
// have made steeper (a pitch shift moves other bands into the high one,
// and up, plays them faster), but transients made up outright: repeated or
// early copies, clicks, crackle.
std::size_t countMadeUpOnsets(const std::vector<float>& input, const std::vector<float>& output,
                              double sampleRate, std::size_t latencyFrames = 0,
                              double toleranceSeconds = 0.005, double weakRiseDb = 6.0);

}  // namespace quality
