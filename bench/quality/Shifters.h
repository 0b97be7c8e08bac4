// Shifters.h - the pitch and formant shifters the harness compares: ours
// (the bundled engine's pitch shifter and formant stage, as its pitch
// effect runs them), Rubber Band R3 and R2 (real-time mode) and
// SoundTouch. The references are found at build time; a missing one is
// reported as unavailable.
#pragma once

#include <string>
#include <vector>

namespace quality {

// OursSynchronous: ours with its voiced parts made pitch-synchronously on
// the pitch tracker's marks (the pitch effect's "synthesis" 1); not in
// availableShifters(), the periodicity section asks for it by name.
enum class Shifter { Ours, OursOffline, RubberBandR3, RubberBandR2, SoundTouch, OursSynchronous };

struct Shifted {
    bool supported = false;       // the shifter can do this shift
    std::vector<float> output;    // aligned with the input (its delay removed)
    double latencySeconds = 0.0;  // its delay, as it states it
};

std::vector<Shifter> availableShifters();
std::string shifterName(Shifter s);

// Shifts mono `input` by `pitch` semitones with the formants at `formant`
// semitones (absolute: 0 keeps the input's, `pitch` moves them with the
// pitch), in 256-frame blocks. Rubber Band R2 and SoundTouch cannot move the
// formants apart from the pitch by other amounts than 0 (R2: formant
// preservation) and `pitch`; those shifts come back unsupported.
Shifted shift(Shifter s, const std::vector<float>& input, double rate, double pitch, double formant);

}  // namespace quality
