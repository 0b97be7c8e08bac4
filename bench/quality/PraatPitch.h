// PraatPitch.h - Praat's autocorrelation pitch (Boersma 1993) as a
// reference, from Debian's `praat` run as a program: never linked, and
// optional (the harness reports its rows as unavailable without it).
//
// Settings: "To Pitch (ac)" with a 5 ms time step, floor 55 Hz, ceiling
// 800 Hz (the engine tracker's range) and Praat's defaults for the rest:
// 15 candidates, not "very accurate" (a Hann window of three floor
// periods, 54.5 ms), silence threshold 0.03, voicing threshold 0.45,
// octave cost 0.01, octave-jump cost 0.35, voiced / unvoiced cost 0.14.
// Praat looks at the whole file (its path finder runs over all frames),
// so it is an offline reference, not a real-time one.
#pragma once

#include <string>
#include <vector>

#include "AudioFile.h"
#include "PitchTracking.h"

namespace quality {

// Whether `praat --version` runs here.
bool praatAvailable();

// Praat's frames for each signal, in order (each written to a temporary
// 32-bit float WAV, all in one run of praat). Empty, with the reason on
// stderr, when praat is missing or fails.
std::vector<PitchFrames> praatPitch(const std::vector<Audio>& signals);

// Reads praat's output for `files` signals: for each a line "file K N"
// then N lines "time f0" (f0 0 where unvoiced). Throws
// std::runtime_error when the text is not that.
std::vector<PitchFrames> parsePraatOutput(const std::string& text, std::size_t files);

}  // namespace quality
