#include "Harness.h"

#include <VoicemodUSDK.h>
#include <VoicemodUSDKExtras.h>
#include <VoicemodUSDKResults.h>

#include <corvane/Corvane.h>
#include <corvane/Logger.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "corvane/voicemod/VoicemodExtension.h"

namespace validation {
namespace {

std::uint64_t gSeed = 0;

std::uint64_t splitmix(std::uint64_t& x) noexcept {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool parseSeed(const char* text, std::uint64_t& out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == nullptr || *end != '\0') return false;
    out = v;
    return true;
}

VoiceInfo describeVoice(const std::string& name) {
    std::vector<char> buffer(4096);
    auto length = static_cast<std::uint32_t>(buffer.size());
    std::int32_t code = vcmdGetVoiceInfoJson(name.c_str(), buffer.data(), &length);
    if (code == VCMD_ERR_BUFFER_TOO_SMALL) {
        buffer.resize(length);
        code = vcmdGetVoiceInfoJson(name.c_str(), buffer.data(), &length);
    }
    if (code != VCMD_OK)
        throw std::runtime_error("vcmdGetVoiceInfoJson(\"" + name + "\") failed: " + vcmdGetResultDescription(code));
    const nlohmann::json info = nlohmann::json::parse(std::string(buffer.data(), length));
    VoiceInfo voice;
    voice.name = info.at("name").get<std::string>();
    voice.background = info.at("background").get<bool>();
    for (const auto& p : info.at("parameters")) {
        ParameterInfo parameter;
        parameter.name = p.at("name").get<std::string>();
        parameter.minimum = p.at("minimum").get<float>();
        parameter.maximum = p.at("maximum").get<float>();
        parameter.defaultValue = p.at("default").get<float>();
        voice.parameters.push_back(parameter);
    }
    if (voice.name != name) throw std::runtime_error("voice info of \"" + name + "\" names \"" + voice.name + "\"");
    return voice;
}

std::vector<VoiceInfo> bringUp() {
    corvane::Logger::setMinimumLevel(corvane::LogLevel::Error);
    corvane::Corvane::initialize();
    const std::string dir = voicesDirectory();
    corvane::extensions::voicemod::VoicemodExtension::load();
    corvane::extensions::voicemod::VoicemodExtension::initialize("validation-key", "validation-secret", dir.c_str());
    std::vector<VoiceInfo> out;
    for (const std::string& name : corvane::extensions::voicemod::VoicemodExtension::listVoices())
        out.push_back(describeVoice(name));
    if (out.empty()) throw std::runtime_error("no voice package found in " + dir);
    return out;
}

}  // namespace

void initSeed(int& argc, char** argv) {
    bool have = false;
    int w = 1;
    for (int r = 1; r < argc; ++r) {
        const char* a = argv[r];
        if (std::strcmp(a, "--seed") == 0 && r + 1 < argc) {
            have = parseSeed(argv[++r], gSeed);
            if (!have) std::fprintf(stderr, "validation: --seed needs a number\n"), std::exit(2);
            continue;
        }
        if (std::strncmp(a, "--seed=", 7) == 0) {
            have = parseSeed(a + 7, gSeed);
            if (!have) std::fprintf(stderr, "validation: --seed needs a number\n"), std::exit(2);
            continue;
        }
        argv[w++] = argv[r];
    }
    argc = w;
    argv[argc] = nullptr;
    if (!have) {
        if (const char* env = std::getenv("CORVANE_VALIDATION_SEED")) {
            have = parseSeed(env, gSeed);
            if (!have) std::fprintf(stderr, "validation: CORVANE_VALIDATION_SEED is not a number\n"), std::exit(2);
        }
    }
    if (!have) gSeed = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    std::printf("validation seed: %llu (replay with CORVANE_VALIDATION_SEED=%llu or --seed %llu)\n",
                static_cast<unsigned long long>(gSeed), static_cast<unsigned long long>(gSeed),
                static_cast<unsigned long long>(gSeed));
    std::fflush(stdout);
}

std::uint64_t seed() { return gSeed; }

Rng::Rng(const std::string& stream) {
    std::uint64_t x = gSeed;
    for (unsigned char c : stream) x = (x ^ c) * 1099511628211ull;
    for (auto& s : s_) s = splitmix(x);
}

std::uint64_t Rng::next() noexcept {
    auto rotl = [](std::uint64_t v, int k) { return (v << k) | (v >> (64 - k)); };
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

float Rng::uniform(float lo, float hi) noexcept {
    // 24 random bits give every float step of [0, 1] up to 2^-24, both ends included.
    const float u = static_cast<float>(next() >> 40) / static_cast<float>((1u << 24) - 1);
    const float v = lo + (hi - lo) * u;
    return v < lo ? lo : (v > hi ? hi : v);
}

std::string voicesDirectory() {
    if (const char* dir = std::getenv("CORVANE_VALIDATION_VOICES_DIR"); dir != nullptr && *dir != '\0') return dir;
    return CORVANE_VOICES_DIR;
}

const std::vector<VoiceInfo>& voices() {
    static const std::vector<VoiceInfo> all = bringUp();
    return all;
}

std::uint32_t rampFrames(std::uint32_t sampleRate) {
    const double frames = std::round(0.005 * sampleRate);
    return frames < 1.0 ? 1u : static_cast<std::uint32_t>(frames);
}

std::string identifier(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += std::isalnum(c) ? static_cast<char>(c) : '_';
    return out.empty() ? "unnamed" : out;
}

void startFrom(corvane::extensions::voicemod::VoicemodNode& node, const std::string& voice, std::uint32_t channels) {
    voices();
    node.setBypassEnabled(false);
    node.setMuteEnabled(false);
    node.setOfflineModeEnabled(false);
    node.setBackgroundSoundsEnabled(true);
    if (!negotiate(node, 48000, channels, 1024)) throw std::runtime_error("48 kHz was refused");
    node.loadVoice(voice);
    // Silence through the crossfade from the previous voice and every switch ramp.
    Buses settle(channels, 1024);
    settle.fill(0.0f);
    if (!node.process(settle.inBus, settle.outBus)) throw std::runtime_error("process failed while settling");
}

Buses::Buses(std::uint32_t channels, std::uint32_t capacity) : in(channels, capacity), out(channels, capacity) {
    inBus.buffer = &in;
    outBus.buffer = &out;
}

void Buses::setFrames(std::uint32_t frames) {
    in.setNumberOfFrames(frames);
    out.setNumberOfFrames(frames);
}

void Buses::fillNoise(Rng& rng) {
    for (std::uint32_t c = 0; c < channels(); ++c) {
        float* x = input(c);
        for (std::uint32_t i = 0; i < frames(); ++i) x[i] = rng.uniform(-1.0f, 1.0f);
    }
}

void Buses::fill(float value) {
    for (std::uint32_t c = 0; c < channels(); ++c) std::fill_n(input(c), frames(), value);
}

bool negotiate(corvane::extensions::voicemod::VoicemodNode& node, std::uint32_t sampleRate, std::uint32_t channels,
               std::uint32_t framesPerBlock) {
    corvane::AudioBusFormat input;
    input.sampleRate = sampleRate;
    input.numberOfChannels = channels;
    input.framesPerBlock = framesPerBlock;
    corvane::AudioBusFormat output;
    if (!node.setBusFormat(input, output)) return false;
    ++totals().formats;
    return output.sampleRate == sampleRate && output.numberOfChannels == channels &&
           output.framesPerBlock == framesPerBlock;
}

std::string checkOutput(const Buses& buses) {
    for (std::uint32_t c = 0; c < buses.channels(); ++c) {
        const float* y = buses.output(c);
        for (std::uint32_t i = 0; i < buses.frames(); ++i) {
            const float v = y[i];
            const char* fault = nullptr;
            if (std::isnan(v)) fault = "NaN";
            else if (std::isinf(v)) fault = "infinite";
            else if (std::fpclassify(v) == FP_SUBNORMAL) fault = "subnormal";
            else if (std::fabs(v) > kPeakLimit) fault = "above +12 dBFS";
            if (fault != nullptr) {
                std::ostringstream s;
                s.precision(9);
                s << "channel " << c << " sample " << i << " of " << buses.frames() << " is " << fault << " (" << v
                  << ")";
                return s.str();
            }
        }
    }
    return std::string();
}

Totals& totals() {
    static Totals t;
    return t;
}

std::string processAndCheck(corvane::extensions::voicemod::VoicemodNode& node, Buses& buses) {
    if (!node.process(buses.inBus, buses.outBus)) return "process returned false";
    ++totals().blocks;
    totals().frames += buses.frames();
    return checkOutput(buses);
}

}  // namespace validation
