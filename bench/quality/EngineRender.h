// EngineRender.h - signals through the bundled engine (its C interface)
// and through the pitch shifter on its own.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quality {

struct VoiceRun {
    std::string voice;
    double rate = 48000.0;
    bool background = false;
    bool offline = false;
    std::vector<std::pair<std::string, float>> parameters;  // set after loading
};

// Starts the engine afresh with every package in `voicesDir` mounted and
// lists the voices. Throws std::runtime_error on any engine failure.
std::vector<std::string> startEngine(const std::string& voicesDir);

// Runs `input` (mono, 256-frame blocks) through `run.voice`, loaded on a
// freshly started engine, followed by `tail` seconds of silence so that the
// voice's delay and decay come out too.
std::vector<float> renderVoice(const std::string& voicesDir, const VoiceRun& run, const std::vector<float>& input,
                               double tail);

// The same without a tail and with the voice's delay, as the engine states
// it, taken off: the output lines up with `input` and has its length.
std::vector<float> renderVoiceAligned(const std::string& voicesDir, const VoiceRun& run,
                                      const std::vector<float>& input);

// Runs `input` through the pitch shifter alone, in 256-frame blocks.
std::vector<float> shiftPitch(const std::vector<float>& input, double rate, float semitones, bool highQuality);

}  // namespace quality
