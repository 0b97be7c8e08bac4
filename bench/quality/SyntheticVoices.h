// SyntheticVoices.h - voices whose pitch is known exactly, for measuring a
// pitch tracker: glottal pulses (Rosenberg's shape with lip radiation, as
// the vowel of Formants.h) with jitter, shimmer and breath noise, through
// five formant resonators gliding between two vowels in each phrase; the
// voiced phrases are parted by unvoiced stretches (silence, a fricative, a
// plosive burst with its aspiration) so that onsets, offsets and the
// voicing decision are exercised too. The truth is the F0 contour (0 where
// unvoiced) and the instant of every glottal closure. Everything is
// deterministic: the same kind and seed give the same samples everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quality {

// One voiced phrase. Its F0 goes through `contour`, pairs of (seconds from
// the phrase's start, Hz), in straight lines on a log-frequency scale, held
// before the first and after the last; the vowel moves from `fromVowel` to
// `toVowel` (indices into the table in SyntheticVoices.cpp: a, i, u, e, o).
struct VoicedPhrase {
    double seconds = 1.0;
    std::vector<std::pair<double, double>> contour;
    int fromVowel = 0, toVowel = 0;
};

struct VoiceKind {
    std::string name;
    std::vector<VoicedPhrase> phrases;  // parted by silence, a fricative, a plosive, in turn
    double formantScale = 1.0;          // 1 for a man; about 1.15 for a woman, 1.3 for a child
    double weakPulse = 1.0;             // gain of every other pulse: 0.65 is creak (vocal fry)
    double jitter = 0.008;              // period's standard deviation, relative
    double shimmer = 0.04;              // pulse amplitude's standard deviation, relative
    double breath = 0.03;               // aspiration noise against the pulse, during the open phase
    double openQuotient = 0.56;         // share of the period the glottis is open (Rosenberg: 0.4 + 0.16)
    double vibratoHz = 0.0, vibratoSemitones = 0.0;  // depth: the peak deviation
    bool f1AtTwiceF0 = false;           // F1 follows 2 × F0 (narrow): a strong second harmonic
};

// The kinds the harness measures: steady low (60-90 Hz), creaky at 72-90
// and 105-115 Hz, 110 Hz, octave glides in 200 ms up and down, vibrato at
// 200 Hz, breathy 210 Hz, a child at 300 Hz, sung notes up to 700 Hz, and
// F1 on the second harmonic.
std::vector<VoiceKind> voiceKinds();

struct SyntheticVoice {
    std::string name;
    double rate = 48000.0;
    std::vector<float> samples;  // peak about -6 dBFS
    std::vector<double> pulses;  // glottal closure instants, seconds, rising
    // Voiced stretches [begin, end) in seconds, rising.
    std::vector<std::pair<double, double>> voiced;
    // The F0 at `seconds` (0 outside the voiced stretches).
    double f0At(double seconds) const;

    VoiceKind kind;
};

// Makes `kind` at `rate`: 0.2 s of silence, then each phrase with the
// unvoiced stretch after it (0.15 s of fricative, 0.2 s holding a plosive
// burst, 0.15 s of silence, in turn; the last one followed by 0.25 s of
// silence). Onsets and offsets rise and fall over 20 ms.
SyntheticVoice makeVoice(const VoiceKind& kind, double rate, std::uint32_t seed);

// `voice` with pink noise added (-3 dB per octave, Kellet's filter on
// seeded white noise) at `snrDb` under the voice's mean power over its
// voiced stretches, across the whole length.
std::vector<float> withPinkNoise(const SyntheticVoice& voice, double snrDb, std::uint32_t seed);

}  // namespace quality
