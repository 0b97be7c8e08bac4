// TailMeasure.h - how a reverberant voice's tail sounds: ringing (energy
// piled into a few steady spectral lines) and decay time.
//
// Bench code: allocates freely; not for the audio thread.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// The share of a tail's energy that its strongest 1 % of 1 Hz bins hold,
// between 100 Hz and 5 kHz. The tail is one second of `impulseResponse`
// starting `startSeconds` after the impulse, under a Hann window; its
// spectrum has 1 Hz bins (an FFT as long as one second). A diffuse tail,
// whose bins' powers scatter like noise, holds about 6 % there; a tail
// that rings on steady lines holds much more. Returns a negative value when
// the response is shorter than the window.
double tailTopPercentShare(const std::vector<float>& impulseResponse, double sampleRate, double startSeconds);

// Reverberation time at mid frequencies: the Schroeder backward-integrated
// energy of `impulseResponse` between 500 Hz and 2 kHz from `startSeconds` on, a straight line fitted (least
// squares) between -5 dB and -25 dB of it, extrapolated to -60 dB (T20).
// Returns a negative value when the decay never reaches -25 dB.
double reverberationSeconds(const std::vector<float>& impulseResponse, double sampleRate, double startSeconds);

}  // namespace quality
