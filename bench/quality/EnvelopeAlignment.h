// EnvelopeAlignment.h - lining a shifter's output up with its input where
// the delay the shifter states is not where its output lies: by the lag at
// which the two signals' energy envelopes agree best. A pitch or formant
// shift changes the waveform but keeps when syllables start and stop.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// How many samples `output` lags `input` by, within ±`maxSeconds`: the lag,
// in steps of 0.5 ms, at which the log energies of 0.5 ms frames (mean
// removed) correlate best.
std::ptrdiff_t envelopeLag(const std::vector<float>& input, const std::vector<float>& output, double rate,
                           double maxSeconds);

// `signal` moved `lag` samples earlier (later when negative), zeros where
// nothing is left, its length kept.
std::vector<float> advanced(const std::vector<float>& signal, std::ptrdiff_t lag);

}  // namespace quality
