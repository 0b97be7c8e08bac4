// Sonogram.h - a sound's spectrum over time as a picture (a spectrogram), on one scale
// for every sound so that pictures side by side compare.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "demo/Png.h"

namespace corvane::tool {

struct SpectrogramScale {
    double columnsPerSecond = 100.0;  // time: left to right
    std::uint32_t rows = 256;         // frequency: 0 Hz at the bottom ...
    double topFrequency = 24000.0;    // ... to this at the top (above a file's Nyquist: floor colour)
    double floorDb = -110.0;          // colour 0 and below (dB against a full-scale sine)
    double ceilingDb = -10.0;         // the last colour and above
};

// The colours from floorDb (index 0) to ceilingDb (index 255): black through
// purple, red and orange to pale yellow.
const std::vector<Rgb>& spectrogramPalette();

// Mono samples (channels averaged) at `sampleRate` drawn on `scale`: one
// column per 1/columnsPerSecond s, from a Hann-windowed FFT of about 21 ms
// centred on it; each row the strongest bin within its band.
IndexedPicture spectrogram(const std::vector<float>& mono, double sampleRate, const SpectrogramScale& scale);

// A sound file's channels averaged (libsndfile, through the tool's reader).
// Throws ToolError when the file cannot be read.
std::vector<float> readMono(const std::filesystem::path& path, double& sampleRate);

}  // namespace corvane::tool
