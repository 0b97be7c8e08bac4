// FormantMeasures.h - how well a shifter sets pitch and formants apart:
// on a synthetic vowel with known formants and on real speech.
#pragma once

#include <vector>

#include "Shifters.h"

namespace quality {

// The vowel: Rosenberg pulses at 120 Hz through resonators at 700, 1220,
// 2600 and 3500 Hz, 1.5 s.
constexpr double kVowelF0 = 120.0;
std::vector<float> vowel(double rate);

// Any other vowel made the same way (Formants.h's syntheticVowel).
struct VowelSpec {
    const char* name;
    double f0;
    std::vector<double> formants;  // F1, F2, ... in Hz
};

struct VowelResult {
    bool supported = false;
    double formantErrorPercent[3] = {};  // F1..F3 against the input's times the formant ratio
    double worstFormantPercent = 0.0;    // the largest magnitude of the three
    double f0ErrorCents = 0.0;           // against 120 Hz times the pitch ratio
    double latencyMs = 0.0;
};

// Shifts the vowel by `pitch` with the formants at `formant` (semitones) and
// measures F1..F3 by LPC peak picking and F0 by a harmonic fit on its
// steady middle (0.4 s to 1.3 s).
VowelResult measureVowel(Shifter s, double rate, double pitch, double formant);
// The same on another vowel (F0 error against its F0 times the pitch ratio).
VowelResult measureVowel(Shifter s, double rate, double pitch, double formant, const VowelSpec& v);

// The same measures of what a perfect shifter would give: the vowel made
// anew at the shifted F0 with its resonators at the moved formants. Its
// formant error is the measure's own (LPC peaks pulled by where the
// harmonics fall).
VowelResult idealVowel(double rate, double pitch, double formant, const VowelSpec& v);

struct SpeechResult {
    bool supported = false;
    double f0MedianCents = 0.0;  // |F0 error| on frames voiced in input and output
    double f0P90Cents = 0.0;
    int voicedFrames = 0;
    double envelopeDistanceDb = 0.0;  // mean log-spectral distance of the LPC envelopes (100 Hz-5 kHz)
};

// The same on speech: F0 frame by frame against the input's times the
// pitch ratio, and the distance of the output's spectral envelope to the
// input's scaled by the formant ratio (formant 0: the input's own).
SpeechResult measureSpeech(Shifter s, const std::vector<float>& speech, double rate, double pitch, double formant);

}  // namespace quality
