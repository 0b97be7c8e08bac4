// Harness.h - what the validation programs share: bringing the engine up
// through the library, the shipped voices and their parameters, the random
// seed, host buses, and the rules every output sample must keep.
#pragma once

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "corvane/voicemod/VoicemodNode.h"

namespace validation {

// --- the random seed --------------------------------------------------------

// Reads the seed from "--seed N" / "--seed=N" (removed from argv) or from
// CORVANE_VALIDATION_SEED, else draws one; prints it either way.
void initSeed(int& argc, char** argv);
std::uint64_t seed();

// A small, fast generator (xoshiro256**), seeded from the run's seed and a
// name, so that every test replays on its own with --gtest_filter.
class Rng {
public:
    explicit Rng(const std::string& stream);
    std::uint64_t next() noexcept;
    // Uniform in [lo, hi].
    float uniform(float lo, float hi) noexcept;
    // Uniform in [0, n) and in [lo, hi].
    std::uint32_t below(std::uint32_t n) noexcept { return static_cast<std::uint32_t>(next() % n); }
    std::uint32_t between(std::uint32_t lo, std::uint32_t hi) noexcept { return lo + below(hi - lo + 1); }

private:
    std::uint64_t s_[4];
};

// --- the engine and its voices ----------------------------------------------

struct ParameterInfo {
    std::string name;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float defaultValue = 0.0f;
};

struct VoiceInfo {
    std::string name;
    bool background = false;  // has background layers
    std::vector<ParameterInfo> parameters;
};

// The directory of the voices under test: CORVANE_VALIDATION_VOICES_DIR, or
// the shipped voices/ folder.
std::string voicesDirectory();

// Brings the host and the engine up once per process through
// VoicemodExtension::initialize on voicesDirectory() and reads each voice's
// description. Throws std::runtime_error with the reason when it cannot.
const std::vector<VoiceInfo>& voices();

// Puts the process-wide switches back to their defaults and the sample rate
// to 48 kHz, then loads `voice` and lets the crossfade from the previous voice
// finish, so a test starts from a known state whatever ran before it.
void startFrom(corvane::extensions::voicemod::VoicemodNode& node, const std::string& voice, std::uint32_t channels);

// Length of the engine's bypass, mute and voice-change ramps in frames.
std::uint32_t rampFrames(std::uint32_t sampleRate);

// A name usable in a test name: letters, digits and '_' only.
std::string identifier(const std::string& text);

// --- host buses ---------------------------------------------------------------

// One input and one output bus of `channels` x `capacity` frames.
struct Buses {
    Buses(std::uint32_t channels, std::uint32_t capacity);
    void setFrames(std::uint32_t frames);
    std::uint32_t channels() const { return in.getNumberOfChannels(); }
    std::uint32_t frames() const { return in.getNumberOfFrames(); }
    float* input(std::uint32_t c) { return in.getWritePointer(c); }
    const float* output(std::uint32_t c) const { return out.getReadPointer(c); }
    void fillNoise(Rng& rng);               // white noise, peak 0 dBFS
    void fill(float value);

    corvane::AudioBuffer<float> in, out;
    corvane::AudioBus inBus, outBus;
};

// Negotiates `sampleRate` / `channels` / `framesPerBlock` on the node.
bool negotiate(corvane::extensions::voicemod::VoicemodNode& node, std::uint32_t sampleRate, std::uint32_t channels,
               std::uint32_t framesPerBlock);

// --- the output rules ---------------------------------------------------------

// Largest magnitude allowed for input at 0 dBFS: +12 dBFS.
constexpr float kPeakLimit = 3.98f;

// Empty when every output sample of the block is finite, not subnormal and at
// most kPeakLimit in magnitude; otherwise names the first that is not.
std::string checkOutput(const Buses& buses);

// Counts of what the suite processed, printed at the end of the run.
struct Totals {
    std::uint64_t blocks = 0;
    std::uint64_t frames = 0;
    std::uint64_t formats = 0;
};
Totals& totals();

// Processes the block and checks it; returns an empty string or the failure.
std::string processAndCheck(corvane::extensions::voicemod::VoicemodNode& node, Buses& buses);

}  // namespace validation
