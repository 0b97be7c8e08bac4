// Formants.h - formant frequencies by LPC peak picking, and the synthetic
// vowel whose formants are known.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// A steady vowel: a glottal-like pulse train (Rosenberg pulses, with the lip
// radiation's rise of 6 dB per octave) at `f0` through a cascade of
// resonators at `formants` Hz (bandwidths 80, 90, 120, 150 Hz ...), peak
// near -6 dBFS.
std::vector<float> syntheticVowel(double rate, double seconds, double f0, const std::vector<double>& formants);

// The first `count` peaks, in Hz, of the LPC envelope of samples
// [begin, end): the signal is taken down to 12 kHz (windowed-sinc low-pass),
// pre-emphasised, cut into 30 ms Hamming frames every 10 ms, their
// autocorrelations summed and an order-14 model fitted (Levinson-Durbin);
// peaks are the local maxima of its envelope from 90 Hz to 5.5 kHz. Fewer
// than `count` when the envelope has fewer.
std::vector<double> lpcFormants(const std::vector<float>& signal, std::size_t begin, std::size_t end, double rate,
                                std::size_t count);

// The same model's envelope in dB at `bins` frequencies evenly spread from
// 100 Hz to 5 kHz, for one frame of `length` samples from `begin`; its mean
// over the bins is removed (the level does not count). Empty when the
// frame is silent (below -60 dBFS mean power).
std::vector<double> lpcEnvelopeDb(const std::vector<float>& signal, std::size_t begin, std::size_t length,
                                  double rate, std::size_t bins);

}  // namespace quality
