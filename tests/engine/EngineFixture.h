// EngineFixture.h - common set-up of the engine tests and the signal
// measurements they make on the engine's output.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"
#include "VoicemodUSDKResults.h"

namespace enginetest {

constexpr double kPi = 3.14159265358979323846;

inline std::string voicesDir() { return CORVANE_VOICES_DIR; }
inline std::string dataDir() { return ENGINE_TEST_DATA_DIR; }

// Every test starts from a never-started engine, then starts it.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        vcmdResetForTesting();
        ASSERT_EQ(vcmdInitSDK("key", "secret", "1.0"), VCMD_OK);
    }
    void TearDown() override { vcmdResetForTesting(); }

    static int32_t mount(const std::string& path) {
        int32_t id = -1;
        return vcmdMountPackage(path.c_str(), 0, 0, 0, &id);
    }
    static void mountShipped() {
        for (const char* name : {"characters.zvmd", "devices.zvmd", "spaces.zvmd", "people.zvmd"})
            ASSERT_EQ(mount(voicesDir() + "/" + name), VCMD_OK) << vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE);
    }
    static void mountLab() { ASSERT_EQ(mount(dataDir() + "/good/lab.zvmd"), VCMD_OK) << vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE); }

    static std::vector<std::string> voiceNames() {
        uint32_t n = 0;
        EXPECT_EQ(vcmdGetNumberOfVoices(1, &n), VCMD_OK);
        std::vector<std::vector<char>> storage(n, std::vector<char>(128));
        std::vector<char*> ptrs;
        for (auto& s : storage) ptrs.push_back(s.data());
        if (n > 0) {
            EXPECT_EQ(vcmdGetVoiceNames(ptrs.data(), n, 128, 1), VCMD_OK);
        }
        std::vector<std::string> names;
        for (auto& s : storage) names.emplace_back(s.data());
        return names;
    }

    // Processes `signal` in place, mono, in blocks of `block` frames.
    static void processMono(std::vector<float>& signal, std::size_t block) {
        for (std::size_t i = 0; i < signal.size(); i += block) {
            const auto n = static_cast<uint32_t>(std::min(block, signal.size() - i));
            ASSERT_EQ(vcmdProcessBuffer(signal.data() + i, n), VCMD_OK);
        }
    }
    static void processStereo(std::vector<float>& left, std::vector<float>& right, std::size_t block) {
        for (std::size_t i = 0; i < left.size(); i += block) {
            const auto n = static_cast<uint32_t>(std::min(block, left.size() - i));
            ASSERT_EQ(vcmdProcessStereoBuffer(left.data() + i, right.data() + i, n), VCMD_OK);
        }
    }
};

inline std::vector<float> sine(double frequency, double sampleRate, std::size_t frames, double amplitude = 0.5) {
    std::vector<float> s(frames);
    for (std::size_t i = 0; i < frames; ++i)
        s[i] = static_cast<float>(amplitude * std::sin(2.0 * kPi * frequency * static_cast<double>(i) / sampleRate));
    return s;
}

// Deterministic uniform noise in [-amplitude, amplitude].
inline std::vector<float> whiteNoise(std::size_t frames, double amplitude = 1.0, uint32_t seed = 12345) {
    std::vector<float> s(frames);
    uint32_t x = seed;
    for (auto& v : s) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<float>(amplitude * (static_cast<double>(x >> 8) / 8388608.0 - 1.0));
    }
    return s;
}

// Amplitude of the component at `frequency` in s[begin, end) (Goertzel).
inline double toneAmplitude(const std::vector<float>& s, std::size_t begin, std::size_t end, double frequency,
                            double sampleRate) {
    const double w = 2.0 * kPi * frequency / sampleRate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        // A Hann window keeps neighbouring components from leaking in.
        const double win = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i - begin) / static_cast<double>(end - begin));
        const double s0 = win * s[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2.0 * std::sqrt(std::max(0.0, power)) / (0.5 * static_cast<double>(end - begin));
}

// Fundamental frequency of s[begin, end) from its rising zero crossings,
// each placed by linear interpolation between the two samples around it.
inline double zeroCrossingFrequency(const std::vector<float>& s, std::size_t begin, std::size_t end, double sampleRate) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (std::size_t i = begin + 1; i < end; ++i) {
        if (s[i - 1] < 0.0f && s[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + s[i - 1] / (s[i - 1] - s[i]);
            if (first < 0.0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) * sampleRate / (last - first);
}

inline double rms(const std::vector<float>& s, std::size_t begin, std::size_t end) {
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) sum += static_cast<double>(s[i]) * s[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

inline double peak(const std::vector<float>& s) {
    double p = 0.0;
    for (float v : s) p = std::max(p, static_cast<double>(std::fabs(v)));
    return p;
}

}  // namespace enginetest
