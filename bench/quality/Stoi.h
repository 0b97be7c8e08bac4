// Stoi.h - short-time objective intelligibility (STOI) of a processed
// signal against the clean signal it came from, after Taal, Hendriks,
// Heusdens and Jensen, "An Algorithm for Intelligibility Prediction of
// Time-Frequency Weighted Noisy Speech" (IEEE TASLP 19(7), 2011).
//
// Bench code: allocates freely; not for the audio thread.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// STOI of `processed` against `clean`, both at `sampleRate` Hz and aligned
// sample for sample (compensate any latency first); the shorter length is
// used. 1 means as intelligible as the clean signal; speech buried in noise
// 10 dB louder scores about 0.7, noise alone about 0.45. Returns a negative
// value when fewer than 30 non-silent frames remain.
//
// The method, step by step:
//   1. both signals resampled to 10 kHz;
//   2. 256-sample (25.6 ms) Hann frames, 50 % overlap; frames more than
//      40 dB below the clean signal's loudest frame are dropped from both,
//      and the rest overlap-added again;
//   3. a 512-point FFT of each frame; 15 one-third octave bands from
//      150 Hz (centres 150 Hz .. 3.8 kHz), each band's magnitude the root
//      of its bins' summed power;
//   4. for every run of 30 frames (384 ms) and every band: the processed
//      envelope scaled to the clean one's energy, clipped at
//      clean * (1 + 10^(15/20)) (a signal-to-distortion floor of -15 dB),
//      and correlated with the clean envelope;
//   5. the correlations averaged over bands and runs.
double stoi(const std::vector<float>& clean, const std::vector<float>& processed, double sampleRate);

// `signal` resampled from `fromRate` to `toRate` (libsamplerate, best
// sinc converter).
std::vector<float> resample(const std::vector<float>& signal, double fromRate, double toRate);

}  // namespace quality
